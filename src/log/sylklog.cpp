#include "log/sylklog.h"

#include "log/numbertext.h"

#include <array>
#include <string_view>

namespace thermavo {

namespace {

constexpr std::array<std::string_view, 7> kHeader = {
    "ID;PThermavo", "P;PGeneral", "P;Pd/mmm/yyyy\\ hh:mm:ss", "F;P0;DG0G8", "F;P1;FG0G;C1",
    "F;W1 1 20",    "F;W2 9 8",
};
// Column of channel T1; T8 lies in column 9.
constexpr int kFirstChannelColumn = 2;
constexpr std::string_view kLineEnd = "\r\n";

void appendLine(std::string& text, std::string_view line) {
    text += line;
    text += kLineEnd;
}

} // namespace

void openSylkLog(LogFile& file, const std::string& path) {
    std::string header;
    for (const std::string_view line : kHeader) {
        appendLine(header, line);
    }
    file.open(path, LogFile::Mode::Create, header);
}

void writeSylkRecord(LogFile& file, const LocalDateTime& when, const LogChannels& channels) {
    std::string record;
    appendLine(record, "C;Y" + std::to_string(file.writesInFile() + 1) + ";X1;K" +
                           generalFifteenDigits(daysSince1899(when)));
    for (std::size_t k = 0; k < channels.size(); ++k) {
        if (channels[k].valid) {
            appendLine(record, "C;X" + std::to_string(static_cast<int>(k) + kFirstChannelColumn) +
                                   ";K" + fixedTwoDecimals(channels[k].filtered, "."));
        }
    }
    file.write(record);
}

void closeSylkLog(LogFile& file) {
    try {
        file.write("E\r\n");
    } catch (const IoError&) {
        file.close();
        throw;
    }
    file.close();
}

} // namespace thermavo
