#include "log/sylklog.h"
#include "log/tablog.h"

#include <benchmark/benchmark.h>

namespace {

using namespace thermavo;

constexpr LocalDateTime kWhen{2024, 12, 8, 15, 12, 0, 0};

LogChannels allChannels() {
    LogChannels channels;
    for (std::size_t k = 0; k < channels.size(); ++k) {
        channels[k] = {true, 20.0f + static_cast<float>(k) * 1.37f};
    }
    return channels;
}

// Each record as the window writes it: the look at the file's name, then one write. Into
// /dev/null, so that the figure is the program's own work and the system calls, not the disk's.
void BM_SylkRecord(benchmark::State& state) {
    LogFile file;
    file.open("/dev/null", LogFile::Mode::Create);
    const LogChannels channels = allChannels();
    for (auto _ : state) {
        file.followName();
        writeSylkRecord(file, kWhen, channels);
    }
    file.close();
}
BENCHMARK(BM_SylkRecord);

void BM_TabRecord(benchmark::State& state) {
    LogFile file;
    file.open("/dev/null", LogFile::Mode::Append);
    const LogChannels channels = allChannels();
    RegionalSettings regional;
    regional.decimalSeparator = ",";
    for (auto _ : state) {
        file.followName();
        writeTabRecord(file, kWhen, channels, regional);
    }
    file.close();
}
BENCHMARK(BM_TabRecord);

} // namespace

BENCHMARK_MAIN();
