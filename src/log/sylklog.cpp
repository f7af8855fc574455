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

} // namespace

void openSylkLog(LogFile& file, const std::string& path) {
    file.open(path, LogFile::Mode::Create);
    for (const std::string_view line : kHeader) {
        file.writeLine(line);
    }
}

void writeSylkRecord(LogFile& file, int recordNumber, const LocalDateTime& when,
                     const LogChannels& channels) {
    file.writeLine("C;Y" + std::to_string(recordNumber) + ";X1;K" +
                   generalFifteenDigits(daysSince1899(when)));
    for (std::size_t k = 0; k < channels.size(); ++k) {
        if (channels[k].valid) {
            file.writeLine("C;X" + std::to_string(static_cast<int>(k) + kFirstChannelColumn) +
                           ";K" + fixedTwoDecimals(channels[k].filtered, "."));
        }
    }
}

void closeSylkLog(LogFile& file) {
    try {
        file.writeLine("E");
    } catch (const IoError&) {
        file.close();
        throw;
    }
    file.close();
}

} // namespace thermavo
