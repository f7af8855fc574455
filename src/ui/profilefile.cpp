#include "ui/profilefile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

namespace thermavo {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDefaultLineEnd = "\r\n";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

enum class LineKind { Other, Section, Key };

struct Line {
    std::size_t start = 0;
    std::size_t end = 0; // past the line end
    bool hasLineFeed = false;
    LineKind kind = LineKind::Other;
    std::string_view name;
    std::size_t valueStart = 0; // first byte after '=' of a key line
    std::size_t valueEnd = 0;   // end of the line's text, line end excluded
};

Line classify(std::string_view text, std::size_t start, std::size_t end) {
    Line line;
    line.start = start;
    line.end = end;
    line.hasLineFeed = end > start && text[end - 1] == '\n';
    std::size_t contentEnd = line.hasLineFeed ? end - 1 : end;
    if (contentEnd > start && text[contentEnd - 1] == '\r') {
        --contentEnd;
    }
    std::size_t contentStart = start;
    if (start == 0 && text.starts_with(kByteOrderMark)) {
        contentStart = std::min(kByteOrderMark.size(), contentEnd);
    }
    const std::string_view content = text.substr(contentStart, contentEnd - contentStart);
    const std::string_view body = trimmed(content);
    if (body.empty() || body.front() == ';') {
        return line;
    }
    if (body.front() == '[') {
        const auto close = body.find(']');
        if (close != std::string_view::npos) {
            line.kind = LineKind::Section;
            line.name = trimmed(body.substr(1, close - 1));
        }
        return line;
    }
    const auto equals = content.find('=');
    if (equals != std::string_view::npos) {
        line.kind = LineKind::Key;
        line.name = trimmed(content.substr(0, equals));
        line.valueStart = contentStart + equals + 1;
        line.valueEnd = contentEnd;
    }
    return line;
}

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto feed = text.find('\n', start);
        const std::size_t end = feed == std::string_view::npos ? text.size() : feed + 1;
        lines.push_back(classify(text, start, end));
        start = end;
    }
    return lines;
}

std::string_view lineEndOf(std::string_view text) {
    const auto feed = text.find('\n');
    if (feed == std::string_view::npos) {
        return kDefaultLineEnd;
    }
    return feed > 0 && text[feed - 1] == '\r' ? kDefaultLineEnd : std::string_view("\n");
}

// What a line without a line feed needs so that another line can follow it.
std::string_view lineBreakAfter(std::string_view text, std::size_t end, std::string_view lineEnd) {
    if (end == 0 || text[end - 1] == '\n') {
        return {};
    }
    return text[end - 1] == '\r' ? std::string_view("\n") : lineEnd;
}

struct SectionRange {
    std::size_t header = 0;
    std::size_t end = 0; // index of the next section line, or the line count
};

std::optional<SectionRange> findSection(const std::vector<Line>& lines, std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section && sameName(lines[i].name, section)) {
            std::size_t end = i + 1;
            while (end < lines.size() && lines[end].kind != LineKind::Section) {
                ++end;
            }
            return SectionRange{i, end};
        }
    }
    return std::nullopt;
}

void requireNoLineBreak(std::string_view text, const char* what) {
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        throw std::invalid_argument(std::string(what) + " holds a line break");
    }
}

fs::path toPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// The file's bytes; empty for a missing file, nothing when it exists but cannot be read.
std::optional<std::string> readWhole(const fs::path& path) {
    std::error_code error;
    const auto status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        return std::string();
    }
    if (error || status.type() != fs::file_type::regular) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(bytes).str();
}

// Built from the name's UTF-8 text, as the path itself is, so that no narrow conversion of the
// library's own choosing comes between (on Windows a path is UTF-16).
fs::path temporaryName(const fs::path& target) {
    static std::mt19937 generator{std::random_device{}()};
    std::ostringstream suffix;
    suffix << '.' << std::hex << generator() << ".tmp";
    const std::string tail = suffix.str();
    return fs::path(target.filename().u8string() + std::u8string(tail.begin(), tail.end()));
}

// A file that nobody may write is read-only for the program too, also when it runs with
// privileges that would let it write anyway; any other file must open for writing.
bool writable(const fs::path& path) {
    constexpr auto writeBits =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    std::error_code error;
    const fs::perms permissions = fs::status(path, error).permissions();
    if (error || (permissions & writeBits) == fs::perms::none) {
        return false;
    }
    return std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).is_open();
}

// Through a temporary file beside the target, so that a crash never leaves it half written.
// False when the folder does not allow that; the old file is then untouched.
bool replaceWhole(const fs::path& target, std::string_view text) {
    const fs::path temporary = target.parent_path() / temporaryName(target);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        std::error_code ignored;
        if (!out) {
            fs::remove(temporary, ignored);
            return false;
        }
        const auto oldStatus = fs::status(target, ignored);
        if (oldStatus.type() == fs::file_type::regular) {
            fs::permissions(temporary, oldStatus.permissions(), ignored);
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

bool writeInPlace(const fs::path& target, std::string_view text) {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace

ProfileWriteError::ProfileWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path), m_path(path) {}

std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
    const auto lines = splitLines(text);
    const auto range = findSection(lines, trimmed(section));
    if (!range) {
        return std::nullopt;
    }
    const std::string_view name = trimmed(key);
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
        const Line& line = lines[i];
        if (line.kind == LineKind::Key && sameName(line.name, name)) {
            return std::string(
                trimmed(text.substr(line.valueStart, line.valueEnd - line.valueStart)));
        }
    }
    return std::nullopt;
}

std::string withProfileValue(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view value) {
    const std::string_view sectionName = trimmed(section);
    const std::string_view keyName = trimmed(key);
    requireNoLineBreak(sectionName, "section name");
    requireNoLineBreak(keyName, "key name");
    requireNoLineBreak(value, "value");
    if (sectionName.find(']') != std::string_view::npos) {
        throw std::invalid_argument("section name holds ']'");
    }
    if (keyName.empty() || keyName.find('=') != std::string_view::npos || keyName.front() == ';' ||
        keyName.front() == '[') {
        throw std::invalid_argument("key name is empty or holds '=', ';' or '['");
    }

    const std::string_view lineEnd = lineEndOf(text);
    const auto lines = splitLines(text);
    const auto range = findSection(lines, sectionName);
    std::string result;
    if (!range) {
        result.reserve(text.size() + sectionName.size() + keyName.size() + value.size() + 8);
        result.append(text).append(lineBreakAfter(text, text.size(), lineEnd));
        result.append("[").append(sectionName).append("]").append(lineEnd);
        result.append(keyName).append("=").append(value).append(lineEnd);
        return result;
    }

    std::size_t anchor = range->header;
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
        const Line& line = lines[i];
        if (line.kind != LineKind::Key) {
            continue;
        }
        if (sameName(line.name, keyName)) {
            const std::string_view old =
                text.substr(line.valueStart, line.valueEnd - line.valueStart);
            // Compared as read back: the old leading blanks are kept below, so a value with
            // blanks of its own would otherwise gain more on every write.
            if (trimmed(old) == trimmed(value)) {
                return std::string(text);
            }
            const auto leading = std::min(old.find_first_not_of(kBlanks), old.size());
            result.append(text.substr(0, line.valueStart + leading)).append(value);
            result.append(text.substr(line.valueEnd));
            return result;
        }
        anchor = i;
    }
    const std::size_t at = lines[anchor].end;
    result.append(text.substr(0, at)).append(lineBreakAfter(text, at, lineEnd));
    result.append(keyName).append("=").append(value).append(lineEnd);
    result.append(text.substr(at));
    return result;
}

ProfileFile::ProfileFile(std::string path) : m_path(std::move(path)) {}

std::string ProfileFile::readString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
    const auto text = readWhole(toPath(m_path));
    if (!text) {
        return std::string(fallback);
    }
    return findProfileValue(*text, section, key).value_or(std::string(fallback));
}

void ProfileFile::writeString(std::string_view section, std::string_view key,
                              std::string_view value) {
    const fs::path given = toPath(m_path);
    std::error_code error;
    const fs::path resolved = fs::canonical(given, error);
    // Writing through a link keeps the link and changes the file it points to.
    const fs::path target = error ? given : resolved;
    const auto old = readWhole(target);
    const bool exists = fs::exists(target, error);
    if (!old || (exists && !writable(target))) {
        throw ProfileWriteError(m_path);
    }
    const std::string updated = withProfileValue(*old, section, key, value);
    if (updated == *old) {
        return;
    }
    // A folder that takes no new file still lets an existing file be written in place.
    if (!replaceWhole(target, updated) && !(exists && writeInPlace(target, updated))) {
        throw ProfileWriteError(m_path);
    }
}

} // namespace thermavo
