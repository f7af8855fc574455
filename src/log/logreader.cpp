#include "log/logreader.h"

#include "log/tablog.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

namespace thermavo {

namespace {

constexpr int kHoursPerHalfDay = 12;
constexpr int kFirstChannelColumn = 2;
constexpr int kLastColumn = kFirstChannelColumn + static_cast<int>(kLogChannelCount) - 1;
constexpr std::size_t kTabFields = kLogChannelCount + 1;
constexpr int kYearsPerCentury = 100;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The year ending in the two digits that lies nearest to nearYear: from 50 years before it to 49
// after.
int nearestYear(int twoDigits, int nearYear) {
    const int first = nearYear - kYearsPerCentury / 2;
    const int offset =
        ((twoDigits - first) % kYearsPerCentury + kYearsPerCentury) % kYearsPerCentury;
    return first + offset;
}

std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    out.append(text.substr(0, kShown));
    if (text.size() > kShown) {
        out += "...";
    }
    out += '"';
    return out;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A plain decimal number: an optional "-", digits, and "." with digits. No exponent, no
// infinity, no blank, as the logs never write them.
bool readNumber(std::string_view text, double& value) {
    std::size_t i = text.starts_with('-') ? 1 : 0;
    const std::size_t firstDigit = i;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
    }
    if (i == firstDigit) {
        return false;
    }
    if (i < text.size()) {
        if (text[i] != '.' || i + 1 == text.size()) {
            return false;
        }
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        if (i != text.size()) {
            return false;
        }
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool readTemperature(std::string_view text, float& value) {
    double number = 0.0;
    if (!readNumber(text, number) ||
        std::fabs(number) > static_cast<double>(std::numeric_limits<float>::max())) {
        return false;
    }
    value = static_cast<float>(number);
    return true;
}

bool readInteger(std::string_view text, long long& value) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), isDigit)) {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Reads between minDigits and maxDigits digits at the front of text.
bool takeDigits(std::string_view& text, std::size_t minDigits, std::size_t maxDigits, int& value) {
    std::size_t count = 0;
    value = 0;
    while (count < maxDigits && count < text.size() && isDigit(text[count])) {
        value = value * 10 + (text[count] - '0');
        ++count;
    }
    if (count < minDigits) {
        return false;
    }
    text.remove_prefix(count);
    return true;
}

bool takeText(std::string_view& text, std::string_view expected) {
    if (!text.starts_with(expected)) {
        return false;
    }
    text.remove_prefix(expected.size());
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

bool takeDesignator(std::string_view& text, const RegionalSettings& regional, bool& pm) {
    for (const bool afternoon : {false, true}) {
        const std::string& designator = afternoon ? regional.pmDesignator : regional.amDesignator;
        if (!designator.empty() && text.size() >= designator.size() &&
            equalsIgnoringCase(text.substr(0, designator.size()), designator)) {
            text.remove_prefix(designator.size());
            pm = afternoon;
            return true;
        }
    }
    return false;
}

std::size_t runLength(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && text[end] == text[from]) {
        ++end;
    }
    return end - from;
}

// The inverse of the short date text: the same pattern letters, read with one or two digits
// where the writer may have written either.
bool takeDate(std::string_view& text, std::string_view pattern, LocalDateTime& when, int nearYear) {
    bool haveDay = false;
    bool haveMonth = false;
    bool haveYear = false;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\'') {
            const std::size_t close = pattern.find('\'', i + 1);
            const std::string_view literal =
                close == i + 1
                    ? std::string_view("'")
                    : pattern.substr(i + 1,
                                     close == std::string_view::npos ? close : close - i - 1);
            if (!takeText(text, literal)) {
                return false;
            }
            i = close == std::string_view::npos ? pattern.size() : close + 1;
            continue;
        }
        const std::size_t run = runLength(pattern, i);
        if (c == 'd' || c == 'M') {
            int value = 0;
            if (!takeDigits(text, 1, 2, value)) {
                return false;
            }
            (c == 'd' ? when.day : when.month) = value;
            (c == 'd' ? haveDay : haveMonth) = true;
            i += run >= 2 ? 2 : 1;
        } else if (c == 'y') {
            int value = 0;
            if (run >= 4) {
                if (!takeDigits(text, 4, 4, value)) {
                    return false;
                }
                when.year = value;
                i += 4;
            } else {
                if (!takeDigits(text, 1, 2, value)) {
                    return false;
                }
                when.year = nearestYear(value, nearYear);
                i += run >= 2 ? 2 : 1;
            }
            haveYear = true;
        } else {
            if (!takeText(text, std::string_view(&pattern[i], 1))) {
                return false;
            }
            ++i;
        }
    }
    return haveDay && haveMonth && haveYear && isCalendarDate(when.year, when.month, when.day);
}

bool takeTime(std::string_view& text, const RegionalSettings& regional, LocalDateTime& when) {
    bool pm = false;
    if (regional.twelveHour && regional.designatorFirst &&
        !(takeDesignator(text, regional, pm) && takeText(text, " "))) {
        return false;
    }
    int hour = 0;
    if (!takeDigits(text, 1, 2, hour) || !takeText(text, regional.timeSeparator) ||
        !takeDigits(text, 2, 2, when.minute) || !takeText(text, regional.timeSeparator) ||
        !takeDigits(text, 2, 2, when.second)) {
        return false;
    }
    if (regional.twelveHour && !regional.designatorFirst &&
        !(takeText(text, " ") && takeDesignator(text, regional, pm))) {
        return false;
    }
    if (regional.twelveHour) {
        if (hour < 1 || hour > kHoursPerHalfDay) {
            return false;
        }
        hour = hour % kHoursPerHalfDay + (pm ? kHoursPerHalfDay : 0);
    }
    when.hour = hour;
    return hour < 24 && when.minute < 60 && when.second < 60;
}

// What a cut-short line may look like: text without control characters (the carriage return
// of its line end aside), with no more fields than a record has. Binary data almost always has
// control bytes.
bool plausibleCutLine(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) {
                            return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r';
                        }) &&
           static_cast<std::size_t>(std::count(text.begin(), text.end(), '\t')) < kTabFields;
}

std::string fieldCountError(std::size_t count) {
    return "a record has " + std::to_string(kTabFields) +
           " fields separated by TABs; this line has " + std::to_string(count);
}

LogRecord emptyRecord() {
    LogRecord record;
    record.values.fill(std::numeric_limits<float>::quiet_NaN());
    return record;
}

} // namespace

bool parseTabDateTime(std::string_view text, const RegionalSettings& regional, LocalDateTime& when,
                      int nearYear) {
    when = LocalDateTime{};
    if (!takeDate(text, regional.shortDatePattern, when, nearYear)) {
        return false;
    }
    if (text.empty()) {
        return true;
    }
    // A time of 0:00:00 is never written: the date alone stands for midnight.
    return takeText(text, " ") && takeTime(text, regional, when) && text.empty() &&
           (when.hour != 0 || when.minute != 0 || when.second != 0);
}

std::string tabDateTimePattern(const RegionalSettings& regional) {
    std::string time = regional.hourLeadingZero ? "hh" : "h";
    time += regional.timeSeparator + "mm" + regional.timeSeparator + "ss";
    if (regional.twelveHour) {
        const std::string designators = regional.amDesignator + "/" + regional.pmDesignator;
        time = regional.designatorFirst ? designators + " " + time : time + " " + designators;
    }
    return regional.shortDatePattern + " " + time;
}

LogReader::LogReader(RegionalSettings regional, Sink sink, int nearYear, LogTextDecoder decode)
    : m_regional(std::move(regional)), m_sink(std::move(sink)), m_nearYear(nearYear),
      m_decode(std::move(decode)), m_pending(emptyRecord()) {}

std::string_view LogReader::decoded(std::string_view text, std::string& storage) const {
    if (!m_decode ||
        std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        return text;
    }
    storage = m_decode(text);
    return storage;
}

bool LogReader::feed(std::string_view bytes) {
    std::string kept;
    while (!failed() && !bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view piece = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        // Zero bytes are what a power cut leaves where the file system had not written yet,
        // often many thousands of them: they are dropped, and the line they were in is left out.
        if (piece.find('\0') != std::string_view::npos) {
            m_zeroed = true;
            kept.clear();
            std::copy_if(piece.begin(), piece.end(), std::back_inserter(kept),
                         [](char c) { return c != '\0'; });
            piece = kept;
        }
        if (m_partial.size() + piece.size() > kLongestLine) {
            return fail("the line is longer than any line of a log");
        }
        if (end == std::string_view::npos) {
            m_partial.append(piece);
            break;
        }
        const bool zeroed = std::exchange(m_zeroed, false);
        if (m_partial.empty()) {
            line(piece, zeroed);
        } else {
            m_partial.append(piece);
            const std::string whole = std::move(m_partial);
            m_partial.clear();
            line(whole, zeroed);
        }
    }
    return !failed();
}

bool LogReader::finish() {
    if (failed()) {
        return false;
    }
    // The last line never got its end: the writer was stopped in the middle of it. It is left
    // out, unless it shows the file is something else altogether.
    std::string_view last = m_partial;
    if (m_lines == 0 && last.starts_with(kByteOrderMark)) {
        last.remove_prefix(kByteOrderMark.size());
    }
    std::string text;
    if (m_kind != LogKind::Sylk && !last.starts_with("ID;")) {
        last = decoded(last, text);
    }
    if (!last.empty() || m_zeroed) {
        if (!plausibleCutLine(last)) {
            return fail("the file holds bytes no log holds");
        }
        // A file of a single line without its end is no log cut short when that line does not
        // begin as a log's first line does.
        const std::size_t tab = last.find('\t');
        LocalDateTime when;
        if (m_lines == 0 && !m_zeroed && !last.starts_with("ID;") &&
            (tab == std::string_view::npos ||
             !parseTabDateTime(last.substr(0, tab), m_regional, when, m_nearYear))) {
            return fail(tab == std::string_view::npos
                            ? fieldCountError(1)
                            : "the date and time " + quoted(last.substr(0, tab)) +
                                  " are not written in the current regional format (" +
                                  tabDateTimePattern(m_regional) + ")");
        }
        LogRecord record = emptyRecord();
        // Only the line feed is missing: the record is whole.
        if (!m_zeroed && m_kind != LogKind::Sylk && last.ends_with('\r') &&
            tabRecord(last.substr(0, last.size() - 1), record).empty()) {
            m_sink(record);
        } else {
            note("line " + std::to_string(m_lines + 1) +
                 (m_zeroed ? " ends in zero bytes, as a power cut leaves them, and is left out"
                           : " was cut short and is left out"));
        }
    }
    m_partial.clear();
    m_zeroed = false;
    emitPending();
    return true;
}

void LogReader::note(std::string text) {
    ++m_noteCount;
    if (m_notes.size() < kMostNotes) {
        m_notes.push_back(std::move(text));
    }
}

bool LogReader::fail(std::string message) {
    if (m_kind == LogKind::Sylk && m_sylkProgram != "Thermavo") {
        message += " (a SYLK file written by \"" + m_sylkProgram + "\", not by Thermavo)";
    }
    m_error = std::move(message);
    m_errorLine = m_lines + 1;
    return false;
}

bool LogReader::line(std::string_view text, bool zeroed) {
    if (m_lines == 0 && text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    if (text.ends_with('\r')) {
        text.remove_suffix(1);
    }
    if (zeroed || text.ends_with(kCutLineMark)) {
        return leftOut(text, zeroed);
    }
    if (m_kind == LogKind::Unknown) {
        m_kind = text.starts_with("ID;") ? LogKind::Sylk : LogKind::Tab;
        if (m_kind == LogKind::Sylk) {
            const std::string_view fields = text.substr(3);
            m_sylkProgram = fields.starts_with('P') ? fields.substr(1, fields.find(';') - 1) : "";
        }
    }
    std::string storage;
    const bool fine = m_kind == LogKind::Sylk ? sylkLine(text) : tabLine(decoded(text, storage));
    if (fine) {
        ++m_lines;
    }
    return fine;
}

bool LogReader::leftOut(std::string_view text, bool zeroed) {
    if (text.ends_with(kCutLineMark)) {
        text.remove_suffix(kCutLineMark.size());
        // The writer found only the line feed missing: the record before the mark is whole.
        if (!zeroed && text.ends_with('\r')) {
            return line(text.substr(0, text.size() - 1), false);
        }
    }
    if (!plausibleCutLine(text)) {
        return fail("the file holds bytes no log holds");
    }
    ++m_lines;
    note("line " + std::to_string(m_lines) +
         (zeroed ? " holds zero bytes, as a power cut leaves them, and is left out"
                 : " was cut short and is left out"));
    return true;
}

void LogReader::emitPending() {
    if (m_hasPending) {
        m_sink(m_pending);
        m_pending = emptyRecord();
        m_hasPending = false;
    }
}

bool LogReader::sylkLine(std::string_view text) {
    if (m_ended) {
        return text.empty() || fail("there is more after the end record \"E\"");
    }
    if (text.empty()) {
        return true;
    }
    const std::size_t semicolon = text.find(';');
    const std::string_view type = text.substr(0, semicolon);
    if (m_lines == 0) {
        return true; // the ID record, which told the format
    }
    if (type == "C") {
        return semicolon != std::string_view::npos
                   ? sylkCell(text.substr(semicolon + 1))
                   : fail("the cell record " + quoted(text) + " has no fields");
    }
    if (type == "E") {
        emitPending();
        m_ended = true;
        return true;
    }
    // Pictures, formats, column widths: how a spreadsheet shows the cells.
    if (type == "P" || type == "F" || type == "B" || type == "O") {
        return true;
    }
    if (type == "ID") {
        return fail("a second ID record");
    }
    return fail(quoted(text) + " is no record of a log");
}

bool LogReader::sylkCell(std::string_view fields) {
    long long row = -1;
    long long column = -1;
    std::string_view value;
    bool haveValue = false;
    while (true) {
        const std::size_t semicolon = fields.find(';');
        const std::string_view field = fields.substr(0, semicolon);
        if (field.empty()) {
            return fail("an empty field in a cell record");
        }
        const std::string_view rest = field.substr(1);
        switch (field.front()) {
        case 'Y':
            if (!readInteger(rest, row) || row < 1) {
                return fail("the row " + quoted(rest) + " is no row number");
            }
            break;
        case 'X':
            if (!readInteger(rest, column) || column < 1 || column > kLastColumn) {
                return fail("the column " + quoted(rest) + " is not one of a log's columns 1 to " +
                            std::to_string(kLastColumn));
            }
            break;
        case 'K':
            value = rest;
            haveValue = true;
            break;
        case 'E':
            // A formula a spreadsheet saved; K holds its value.
            break;
        default:
            return fail("the cell field " + quoted(field) + " is not one a log writes");
        }
        if (semicolon == std::string_view::npos) {
            break;
        }
        fields.remove_prefix(semicolon + 1);
    }
    if (column < 0 || !haveValue) {
        return fail("a cell record without its column or its value");
    }
    // A spreadsheet's save names the row in every cell, not only in the time stamp's.
    if (row >= 0 && !(m_hasPending && row == m_lastRow && column != 1)) {
        if (column != 1) {
            return fail("row " + std::to_string(row) + " does not start with its time stamp");
        }
        if (row <= m_lastRow) {
            return fail("row " + std::to_string(row) + " comes after row " +
                        std::to_string(m_lastRow));
        }
        double days = 0.0;
        LogRecord record = emptyRecord();
        if (!readNumber(value, days) || !fromDaysSince1899(days, record.when)) {
            return fail("the time stamp " + quoted(value) + " is no date and time");
        }
        emitPending();
        m_pending = record;
        m_hasPending = true;
        m_lastRow = row;
        return true;
    }
    if (column == 1 || !m_hasPending) {
        return fail("a cell outside a row");
    }
    float& slot = m_pending.values[static_cast<std::size_t>(column - kFirstChannelColumn)];
    if (!std::isnan(slot)) {
        return fail("column " + std::to_string(column) + " twice in row " +
                    std::to_string(m_lastRow));
    }
    if (!readTemperature(value, slot) || std::isnan(slot)) {
        slot = std::numeric_limits<float>::quiet_NaN();
        return fail("the value " + quoted(value) + " is no number");
    }
    return true;
}

bool LogReader::tabLine(std::string_view text) {
    // A blank line reads as an empty row; logs never write one, but an editor may leave it.
    if (text.empty()) {
        return true;
    }
    LogRecord record = emptyRecord();
    std::string error = tabRecord(text, record);
    if (!error.empty()) {
        return fail(std::move(error));
    }
    m_sink(record);
    return true;
}

std::string LogReader::tabRecord(std::string_view text, LogRecord& record) const {
    std::array<std::string_view, kTabFields> fields;
    std::size_t count = 0;
    for (std::size_t from = 0;; ++count) {
        const std::size_t tab = text.find('\t', from);
        if (count < kTabFields) {
            fields[count] = text.substr(from, tab == std::string_view::npos ? tab : tab - from);
        }
        if (tab == std::string_view::npos) {
            ++count;
            break;
        }
        from = tab + 1;
    }
    if (count != kTabFields) {
        return fieldCountError(count);
    }
    if (!parseTabDateTime(fields[0], m_regional, record.when, m_nearYear)) {
        return "the date and time " + quoted(fields[0]) +
               " are not written in the current regional format (" +
               tabDateTimePattern(m_regional) + ")";
    }
    const std::string_view separator = m_regional.decimalSeparator;
    for (std::size_t k = 0; k < kLogChannelCount; ++k) {
        const std::string_view field = fields[k + 1];
        if (field.empty()) {
            continue;
        }
        // The regional separator stands where the number has its point; a "." where the
        // settings say otherwise is no number, as in a spreadsheet.
        std::string number(field);
        const std::size_t at = separator.empty() ? std::string::npos : number.find(separator);
        if (separator != "." && number.find('.') != std::string::npos) {
            number.clear();
        } else if (at != std::string::npos) {
            number.replace(at, separator.size(), ".");
        }
        if (!readTemperature(number, record.values[k])) {
            record.values[k] = std::numeric_limits<float>::quiet_NaN();
            return "T" + std::to_string(k + 1) + " " + quoted(field) +
                   " is no number with the current regional decimal separator \"" +
                   m_regional.decimalSeparator + "\"";
        }
    }
    return {};
}

} // namespace thermavo
