// The settings file's key writer on arbitrary file text. The input holds a flags byte, then a
// section name, a key name and a value, each ended by a NUL byte, then the file text. Names are
// made legal; they may also be taken from the text's own section and key lines, so that
// existing keys get rewritten. After the write the key reads back as written, every line of the
// old text that the write did not touch is still there and in order, and writing the same
// value again changes nothing. Some inputs go through a real file as well.
#include "fuzzcheck.h"
#include "ui/profilefile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {
namespace {

constexpr std::string_view kBlanks = " \t";

enum Flags : std::uint8_t {
    SectionFromText = 1,
    KeyFromText = 2,
    ThroughFile = 4,
};

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string without(std::string_view text, std::string_view banned) {
    std::string out;
    for (const char c : text) {
        if (banned.find(c) == std::string_view::npos) {
            out += c;
        }
    }
    return out;
}

// The lines of a text without their line ends (LF, and a CR before it or at the very end).
std::vector<std::string_view> lineTexts(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto feed = text.find('\n');
        std::string_view line = text.substr(0, feed);
        text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

// The n-th line's text between its brackets, or before its "=", wrapping around the lines.
std::optional<std::string> nameFromText(std::string_view text, unsigned n, bool section) {
    std::vector<std::string> names;
    for (const std::string_view line : lineTexts(text)) {
        const std::string_view body = trimmed(line);
        if (section && body.starts_with('[')) {
            names.emplace_back(body.substr(1, body.find(']') - 1));
        } else if (!section && body.find('=') != std::string_view::npos) {
            names.emplace_back(body.substr(0, body.find('=')));
        }
    }
    if (names.empty()) {
        return std::nullopt;
    }
    return names[n % names.size()];
}

std::string legalSection(std::string_view name) {
    return without(name, "\r\n]");
}

std::string legalKey(std::string_view name) {
    std::string key(trimmed(without(name, "\r\n=")));
    if (key.empty() || key.front() == ';' || key.front() == '[') {
        key.insert(0, "K");
    }
    return key;
}

std::string_view nextField(std::string_view& rest) {
    const auto end = rest.find('\0');
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return field;
}

std::filesystem::path scratchFile() {
    static const std::filesystem::path file = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "thermavo-fuzz-XXXXXX").string();
        require(mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
        static const std::filesystem::path folder = pattern;
        std::atexit([] { std::filesystem::remove_all(folder); });
        return folder / "settings.ini";
    }();
    return file;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void checkThroughFile(std::string_view text, const std::string& section, const std::string& key,
                      const std::string& value, const std::string& written) {
    const std::filesystem::path path = scratchFile();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        require(static_cast<bool>(out), "the scratch file can be written");
    }
    ProfileFile file(path.string());
    file.writeString(section, key, value);
    require(fileText(path) == written, "the file holds the text with the key set");
    require(file.readString(section, key, "\x01") == trimmed(value),
            "the file reads the key back as written");
    file.writeString(section, key, value);
    require(fileText(path) == written, "writing the same value again leaves the file alone");
}

} // namespace
} // namespace thermavo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace thermavo;
    if (size == 0) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view rawSection = nextField(rest);
    const std::string_view rawKey = nextField(rest);
    const std::string value = without(nextField(rest), "\r\n");
    const std::string_view text = rest;

    const unsigned pick = flags >> 4;
    const auto sectionInText = nameFromText(text, pick, true);
    const auto keyInText = nameFromText(text, pick, false);
    const std::string section = legalSection(
        (flags & SectionFromText) && sectionInText ? std::string_view(*sectionInText) : rawSection);
    const std::string key =
        legalKey((flags & KeyFromText) && keyInText ? std::string_view(*keyInText) : rawKey);

    const std::optional<std::string> before = findProfileValue(text, section, key);
    std::string written;
    try {
        written = withProfileValue(text, section, key, value);
    } catch (const std::invalid_argument&) {
        require(false, "legal names and values are accepted");
    }

    require(findProfileValue(written, section, key) == std::string(trimmed(value)),
            "the key reads back as written");
    require(withProfileValue(written, section, key, value) == written,
            "writing the same value again changes nothing");
    if (before == std::string(trimmed(value))) {
        require(written == text, "writing the value a key already has changes nothing");
    }

    // The write replaces one stretch of the old text, and that stretch lies within one line:
    // nothing else is lost, moved or altered.
    std::size_t prefix = 0;
    while (prefix < text.size() && prefix < written.size() && text[prefix] == written[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < text.size() - prefix && suffix < written.size() - prefix &&
           text[text.size() - 1 - suffix] == written[written.size() - 1 - suffix]) {
        ++suffix;
    }
    const std::string_view replaced = text.substr(prefix, text.size() - prefix - suffix);
    require(replaced.find('\n') == std::string_view::npos, "a write touches at most one line");

    // The same seen line by line: outside the lines that agree at the front and at the back,
    // the old text has at most the one line that was changed.
    const auto oldLines = lineTexts(text);
    const auto newLines = lineTexts(written);
    std::size_t front = 0;
    while (front < oldLines.size() && front < newLines.size() &&
           oldLines[front] == newLines[front]) {
        ++front;
    }
    std::size_t back = 0;
    while (back < oldLines.size() - front && back < newLines.size() - front &&
           oldLines[oldLines.size() - 1 - back] == newLines[newLines.size() - 1 - back]) {
        ++back;
    }
    const std::size_t oldMiddle = oldLines.size() - front - back;
    const std::size_t newMiddle = newLines.size() - front - back;
    require(oldMiddle <= (before ? 1 : 0), "the untouched lines stay, in their order");
    // A changed key stays on its line; a new one may bring its section line.
    require(newMiddle <= (before ? 1 : 2), "a write adds no more than the key and its section");

    if (flags & ThroughFile) {
        checkThroughFile(text, section, key, value, written);
    }
    return 0;
}
