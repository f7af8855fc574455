#pragma once

// What both log readers' targets check: the reader gives the same records and the same verdict
// however the bytes are cut into pieces, the same lines left out, every record it gives is a real
// date and time with finite values or none, a failure names a line that was reached, and a success
// reads every whole line.
#include "fuzzcheck.h"
#include "log/datetime.h"
#include "log/logreader.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {

struct ReadOutcome {
    std::vector<LogRecord> records;
    bool fine = true;
    std::size_t errorLine = 0;
    std::string error;
    std::size_t lines = 0;
    std::vector<std::string> notes;
};

inline ReadOutcome readInPieces(std::string_view bytes, const RegionalSettings& regional,
                                std::size_t piece) {
    ReadOutcome outcome;
    LogReader reader(regional, [&](const LogRecord& record) { outcome.records.push_back(record); });
    for (std::size_t from = 0; outcome.fine && from < bytes.size(); from += piece) {
        outcome.fine = reader.feed(bytes.substr(from, piece));
    }
    if (outcome.fine) {
        outcome.fine = reader.finish();
    }
    outcome.errorLine = reader.errorLine();
    outcome.error = reader.error();
    outcome.lines = reader.lines();
    outcome.notes = reader.notes();
    return outcome;
}

inline bool sameRecord(const LogRecord& a, const LogRecord& b) {
    const LocalDateTime& x = a.when;
    const LocalDateTime& y = b.when;
    if (x.year != y.year || x.month != y.month || x.day != y.day || x.hour != y.hour ||
        x.minute != y.minute || x.second != y.second || x.millisecond != y.millisecond) {
        return false;
    }
    for (std::size_t k = 0; k < a.values.size(); ++k) {
        if (!sameBits(a.values[k], b.values[k])) {
            return false;
        }
    }
    return true;
}

inline void checkLogReader(std::string_view bytes, const RegionalSettings& regional,
                           std::size_t piece) {
    const ReadOutcome whole = readInPieces(bytes, regional, std::max<std::size_t>(bytes.size(), 1));
    const ReadOutcome cut = readInPieces(bytes, regional, std::max<std::size_t>(piece, 1));
    require(whole.fine == cut.fine, "the verdict depends on how the bytes are cut");
    require(whole.errorLine == cut.errorLine, "the failing line depends on the pieces");
    require(whole.records.size() == cut.records.size(), "the records depend on the pieces");
    require(whole.notes == cut.notes, "the lines left out depend on the pieces");
    for (std::size_t i = 0; i < whole.records.size(); ++i) {
        require(sameRecord(whole.records[i], cut.records[i]), "a record depends on the pieces");
    }
    const auto newlines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    if (whole.fine) {
        require(whole.error.empty(), "a success with an error");
        require(whole.lines == newlines, "a success that did not read every whole line");
    } else {
        require(!whole.error.empty(), "a failure without a reason");
        require(whole.errorLine >= 1 && whole.errorLine <= newlines + 1,
                "a failure on a line the file does not have");
    }
    for (const LogRecord& record : whole.records) {
        const LocalDateTime& when = record.when;
        require(isCalendarDate(when.year, when.month, when.day), "a record on no calendar day");
        require(when.hour >= 0 && when.hour < 24 && when.minute >= 0 && when.minute < 60 &&
                    when.second >= 0 && when.second < 60 && when.millisecond >= 0 &&
                    when.millisecond < 1000,
                "a record at no time of day");
        for (const float value : record.values) {
            require(std::isnan(value) || std::isfinite(value), "an infinite value");
        }
    }
}

// The regional settings a byte picks: the default, a decimal comma with dots in the date, the
// 12-hour clock with the designator after or before the time.
inline RegionalSettings fuzzedRegional(std::uint8_t pick) {
    RegionalSettings regional;
    switch (pick % 4) {
    case 1:
        regional.decimalSeparator = ",";
        regional.shortDatePattern = "dd.MM.yy";
        break;
    case 2:
        regional.shortDatePattern = "M/d/yyyy";
        regional.twelveHour = true;
        regional.hourLeadingZero = false;
        break;
    case 3:
        regional.shortDatePattern = "yyyy-MM-dd";
        regional.twelveHour = true;
        regional.designatorFirst = true;
        regional.amDesignator = "vorm.";
        regional.pmDesignator = "nachm.";
        regional.timeSeparator = ".";
        break;
    default:
        break;
    }
    return regional;
}

} // namespace thermavo
