#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace thermavo {

// A settings file could not be written; the message names the file.
class ProfileWriteError : public std::runtime_error {
public:
    explicit ProfileWriteError(const std::string& path);
    const std::string& path() const noexcept { return m_path; }

private:
    std::string m_path;
};

// The value of a key in INI text: sections "[Name]" and lines "key=value", names matched without
// regard to letter case, the first section and key of a name winning, the value without the
// blanks around it. Nothing when the section or the key is missing.
std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// The INI text with one key set. Only the value of an existing key changes; a new key follows
// the last key line of its section, a new section goes to the end. Every other byte - comments,
// blank lines, unknown keys, line ends - is kept. A new line ends like the text's first line
// (CR LF in a text without line ends). Throws std::invalid_argument for names or values that
// would break the line structure.
std::string withProfileValue(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view value);

// An INI file read and written key by key, as the Windows profile-string functions do: a missing
// or unreadable file reads as empty, and every write changes the file at once. The path is UTF-8.
class ProfileFile {
public:
    explicit ProfileFile(std::string path);

    const std::string& path() const noexcept { return m_path; }

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view fallback) const;
    // Replaces the file as a whole through a temporary file beside it, so the file is never left
    // half written; in a folder that takes no new file, an existing file is rewritten in place.
    // Throws ProfileWriteError when the file cannot be written, and for a file without any write
    // permission bit, which is never written.
    void writeString(std::string_view section, std::string_view key, std::string_view value);

private:
    std::string m_path;
};

} // namespace thermavo
