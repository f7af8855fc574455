#include "history/storedrange.h"
#include "longrun.h"
#include "runs/rundatabase.h"
#include "runs/runwriter.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <filesystem>
#include <memory>

// A long run at one tick a second, 8 channels, into the run store on disk: what a tick takes on
// disk, the resident memory while writing, and reading the run back for the history window.
// THERMAVO_BENCH_TICKS sets the run's length; a year (31,536,000) unless told.

using namespace thermavo;
using namespace thermavo::longrun;

namespace {

// Commits of a second's ticks would take as long as the year itself; the writer's batches are
// what comes in a second at most, so these ticks go in larger ones.
constexpr std::int64_t kTicksPerCommit = 10'000;
// The points a channel the history window asks for over a plot 1200 pixels wide, four a pixel.
constexpr std::size_t kPlotPoints = 4800;

std::int64_t runTicks() {
    return envTicks("THERMAVO_BENCH_TICKS", 31'536'000);
}

struct Store {
    QTemporaryDir folder;
    std::string path;
    std::int64_t run = 0;
};

Store& store() {
    static Store made;
    return made;
}

void WriteRun(benchmark::State& state) {
    Store& made = store();
    made.path = made.folder.filePath(QStringLiteral("runs.sqlite")).toStdString();
    const std::int64_t ticks = runTicks();
    long peak = 0;
    for (auto _ : state) {
        runs::RunDatabase database(made.path);
        runs::RunWriter writer(database, kStartMs, 3600, 0);
        for (std::int64_t index = 0; index < ticks; ++index) {
            writer.add(tickAt(index));
            if ((index + 1) % kTicksPerCommit == 0) {
                writer.commit();
                peak = std::max(peak, residentBytes());
            }
        }
        writer.close(kStartMs + ticks * 1000, 3600);
        made.run = writer.run();
        database.checkpoint(true);
    }
    const auto bytes = static_cast<double>(std::filesystem::file_size(made.path));
    state.counters["ticks"] = static_cast<double>(ticks);
    state.counters["bytes_per_tick"] = bytes / static_cast<double>(ticks);
    state.counters["file_MB"] = bytes / 1e6;
    state.counters["resident_MB_writing"] = static_cast<double>(peak) / 1e6;
    state.counters["ticks_per_s"] =
        benchmark::Counter(static_cast<double>(ticks), benchmark::Counter::kIsRate);
}
BENCHMARK(WriteRun)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// What opening the run in the history window costs: the list of runs, the run's extent, then
// the whole run read as the window asks for it, within a plot's budget of points.
void OpenRun(benchmark::State& state) {
    Store& made = store();
    std::size_t points = 0;
    int level = -1;
    const std::atomic<bool> cancel{false};
    for (auto _ : state) {
        runs::RunDatabase database(made.path, runs::RunDatabase::Check::Header);
        benchmark::DoNotOptimize(database.runs());
        StoredRange range(database, made.run);
        const RunExtent extent = range.extent();
        RangeRequest request;
        request.time = {static_cast<double>(extent.firstMs) / 1000.0,
                        static_cast<double>(extent.lastMs) / 1000.0};
        request.budget = kPlotPoints;
        request.channels.fill(true);
        const RangeAnswer answer = range.range(request, cancel);
        points = answer.points[0].size();
        level = answer.level;
    }
    state.counters["points"] = static_cast<double>(points);
    state.counters["summary_level"] = level;
    state.counters["resident_MB"] = static_cast<double>(residentBytes()) / 1e6;
}
BENCHMARK(OpenRun)->Unit(benchmark::kMillisecond)->UseRealTime();

// A zoom or pan step in a long run: a day's ticks, or a week of minute summaries.
void ReadRange(benchmark::State& state) {
    Store& made = store();
    runs::RunDatabase database(made.path, runs::RunDatabase::Check::Header);
    const std::int64_t middle = kStartMs + runTicks() / 2 * 1000;
    std::size_t read = 0;
    for (auto _ : state) {
        if (state.range(0) == 0)
            read = database.ticks(made.run, middle, middle + 86'400'000, 100'000).size();
        else
            read = database.blocks(made.run, 0, middle, middle + 7 * 86'400'000).size();
        benchmark::DoNotOptimize(read);
    }
    state.counters["rows"] = static_cast<double>(read);
}
BENCHMARK(ReadRange)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Opening the year's file as the recorder does at each start: the check of every page.
void OpenWithCheck(benchmark::State& state) {
    Store& made = store();
    for (auto _ : state)
        runs::RunDatabase database(made.path);
}
BENCHMARK(OpenWithCheck)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
