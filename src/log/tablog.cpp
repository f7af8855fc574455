#include "log/tablog.h"

#include "log/numbertext.h"

#include <string_view>

namespace thermavo {

namespace {

constexpr int kHoursPerHalfDay = 12;

void appendNumber(std::string& out, int value, int minDigits) {
    const std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) {
        out += '-';
    }
    if (static_cast<int>(digits.size()) < minDigits) {
        out.append(static_cast<std::size_t>(minDigits) - digits.size(), '0');
    }
    out += digits;
}

std::size_t runLength(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && text[end] == text[from]) {
        ++end;
    }
    return end - from;
}

std::string timeText(const LocalDateTime& when, const RegionalSettings& regional) {
    int hour = when.hour;
    if (regional.twelveHour) {
        hour %= kHoursPerHalfDay;
        if (hour == 0) {
            hour = kHoursPerHalfDay;
        }
    }
    std::string out;
    appendNumber(out, hour, regional.hourLeadingZero ? 2 : 1);
    out += regional.timeSeparator;
    appendNumber(out, when.minute, 2);
    out += regional.timeSeparator;
    appendNumber(out, when.second, 2);
    if (!regional.twelveHour) {
        return out;
    }
    const std::string& designator =
        when.hour < kHoursPerHalfDay ? regional.amDesignator : regional.pmDesignator;
    return regional.designatorFirst ? designator + ' ' + out : out + ' ' + designator;
}

} // namespace

void openTabLog(LogFile& file, const std::string& path) {
    // Append creates a missing file as well; it never truncates, so the check whether the file
    // exists cannot race with another program creating it.
    file.open(path, LogFile::Mode::Append);
}

void writeTabRecord(LogFile& file, const LocalDateTime& when, const LogChannels& channels,
                    const RegionalSettings& regional, const LogTextEncoder& encode) {
    // In a file that did not end with a line end the record would otherwise continue a line a
    // power cut left unfinished, or one another program wrote; the mark keeps that line from
    // reading back as a record. A failed record needs nothing here: the writer has cut it off.
    std::string line;
    if (!file.atLineStart()) {
        line = kCutLineMark;
        line += "\r\n";
    }
    line += encode(tabDateTimeText(when, regional));
    line += '\t';
    for (std::size_t k = 0; k < channels.size(); ++k) {
        if (channels[k].valid) {
            line += encode(fixedTwoDecimals(channels[k].filtered, regional.decimalSeparator));
        }
        if (k + 1 < channels.size()) {
            line += '\t';
        }
    }
    line += "\r\n";
    file.write(line);
}

void closeTabLog(LogFile& file) {
    file.close();
}

std::string tabDateTimeText(const LocalDateTime& when, const RegionalSettings& regional) {
    std::string out = shortDateText(when, regional.shortDatePattern);
    if (when.hour != 0 || when.minute != 0 || when.second != 0) {
        out += ' ';
        out += timeText(when, regional);
    }
    return out;
}

std::string shortDateText(const LocalDateTime& when, const std::string& pattern) {
    std::string out;
    const std::string_view text(pattern);
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == i + 1) {
                out += '\'';
            } else {
                out.append(
                    text.substr(i + 1, close == std::string_view::npos ? close : close - i - 1));
            }
            i = close == std::string_view::npos ? text.size() : close + 1;
            continue;
        }
        const std::size_t run = runLength(text, i);
        if (c == 'd' || c == 'M') {
            const std::size_t take = run >= 2 ? 2 : 1;
            appendNumber(out, c == 'd' ? when.day : when.month, static_cast<int>(take));
            i += take;
        } else if (c == 'y') {
            if (run >= 4) {
                appendNumber(out, when.year, 4);
                i += 4;
            } else {
                appendNumber(out, when.year % 100, run >= 2 ? 2 : 1);
                i += run >= 2 ? 2 : 1;
            }
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

} // namespace thermavo
