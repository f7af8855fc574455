#include "events/featurehost.h"
#include "events/runpublisher.h"
#include "history/historyfeature.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "history/storedrange.h"
#include "longrun.h"
#include "runs/rundatabase.h"
#include "runs/runwriter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

// The history window on a long run kept on disk, through the real widget offscreen: what the
// program holds while it records a long run, then opening, redrawing, zooming and panning a
// year's run. THERMAVO_BENCH_TICKS sets the stored run's length (a year, 31,536,000, unless
// told); THERMAVO_BENCH_STORE names a store to keep between runs of the benchmark (written when
// it holds no run yet); THERMAVO_BENCH_RECORD_TICKS the ticks published to the recording
// program (2,000,000 unless told).

using namespace thermavo;
using namespace thermavo::longrun;

namespace {

constexpr std::int64_t kTicksPerCommit = 10'000;

HistoryServices quietServices() {
    HistoryServices services;
    services.now = [] { return QDateTime::fromMSecsSinceEpoch(kStartMs); };
    services.regionalSettings = [] { return RegionalSettings{}; };
    services.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
    services.chooseLogFile = [](QWidget*) { return QString(); };
    services.chooseSaveFile = [](QWidget*, const QString&, const QString&, const QString&) {
        return QString();
    };
    return services;
}

// The stored run: written once per run of the benchmark, or kept in THERMAVO_BENCH_STORE.
struct YearStore {
    QTemporaryDir folder;
    std::string path;
    std::int64_t run = 0;
    std::int64_t ticks = 0;
    double writeSeconds = 0.0;

    YearStore() {
        const char* kept = std::getenv("THERMAVO_BENCH_STORE");
        path = kept != nullptr ? std::string(kept)
                               : folder.filePath(QStringLiteral("runs.sqlite")).toStdString();
        runs::RunDatabase database(path);
        const std::vector<runs::RunInfo> stored = database.runs();
        if (!stored.empty()) {
            run = stored.back().id;
            ticks = stored.back().ticks;
            return;
        }
        ticks = envTicks("THERMAVO_BENCH_TICKS", 31'536'000);
        QElapsedTimer timer;
        timer.start();
        runs::RunWriter writer(database, kStartMs, 3600, 0);
        for (std::int64_t index = 0; index < ticks; ++index) {
            writer.add(tickAt(index));
            if ((index + 1) % kTicksPerCommit == 0)
                writer.commit();
        }
        writer.close(kStartMs + ticks * 1000, 3600);
        run = writer.run();
        database.checkpoint(true);
        writeSeconds = static_cast<double>(timer.elapsed()) / 1000.0;
    }
};

YearStore& year() {
    static YearStore made;
    return made;
}

// The window on the stored run, with its first span in view drawn.
struct OpenYear {
    // Before the window, which keeps a reference to it.
    const RunStore empty;
    HistoryWindow window;
    qint64 openMs = 0;

    OpenYear() : window(empty, quietServices()) {
        window.resize(1200, 640);
        window.show();
        QApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        window.showStoredRun(QString::fromStdString(year().path), year().run,
                             QStringLiteral("the year"), false);
        waitForRange();
        window.plot().replot(QCustomPlot::rpImmediateRefresh);
        openMs = timer.elapsed();
    }

    bool rangeInView() const {
        const RangeAnswer* range = window.shownRange();
        return range != nullptr && range->request.time == window.view().time();
    }
    void waitForRange() {
        while (!rangeInView())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
};

// The program recording: ticks published to the history feature with a data folder, which hands
// them to the run store's thread and keeps only the newest in memory. Resident memory after the
// first and after the last of them.
void BM_RecordThroughTheFeature(benchmark::State& state) {
    const std::int64_t ticks = envTicks("THERMAVO_BENCH_RECORD_TICKS", 2'000'000);
    constexpr std::int64_t kFlushEvery = 100'000;
    QTemporaryDir folder;
    long first = 0;
    long peak = 0;
    for (auto _ : state) {
        RunPublisher events;
        QWidget window;
        QStatusBar statusBar(&window);
        QWidget chart(&window);
        FeatureHost host;
        host.events = &events;
        host.window = &window;
        host.statusBar = &statusBar;
        host.chart = &chart;
        host.now = [] { return QDateTime::fromMSecsSinceEpoch(kStartMs); };
        host.regionalSettings = [] { return RegionalSettings{}; };
        host.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
        host.reportError = [](const QString&) {};
        host.dataFolder = folder.filePath(QStringLiteral("data"));
        HistoryFeature feature(host);
        for (std::int64_t index = 0; index < ticks; ++index) {
            emit events.sampleTick(tickAt(index));
            if ((index + 1) % kFlushEvery == 0) {
                feature.flushStore();
                QApplication::processEvents();
                const long now = residentBytes();
                if (first == 0)
                    first = now;
                peak = std::max(peak, now);
            }
        }
        state.counters["ticks_in_memory"] = static_cast<double>(feature.run().size());
    }
    state.counters["ticks"] = static_cast<double>(ticks);
    state.counters["resident_MB_first_100k"] = static_cast<double>(first) / 1e6;
    state.counters["resident_MB_peak"] = static_cast<double>(peak) / 1e6;
}
BENCHMARK(BM_RecordThroughTheFeature)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Opening the year's run in the history window: the window thread's lookups, then the first
// span read on the worker and drawn. Resident memory of the process while it shows the year.
void BM_OpenYear(benchmark::State& state) {
    year();
    const long before = residentBytes();
    long shown = 0;
    for (auto _ : state) {
        OpenYear open;
        state.SetIterationTime(static_cast<double>(open.openMs) / 1000.0);
        shown = std::max(shown, residentBytes());
    }
    state.counters["ticks"] = static_cast<double>(year().ticks);
    state.counters["write_s"] = year().writeSeconds;
    state.counters["resident_MB_before"] = static_cast<double>(before) / 1e6;
    state.counters["resident_MB_showing"] = static_cast<double>(shown) / 1e6;
}
BENCHMARK(BM_OpenYear)->Iterations(5)->Unit(benchmark::kMillisecond)->UseManualTime();

// The whole year redrawn: axes, the eight curves of the summaries in view, the labels.
void BM_RedrawYear(benchmark::State& state) {
    OpenYear open;
    HistoryPlot& plot = open.window.plot();
    for (auto _ : state)
        plot.replot(QCustomPlot::rpImmediateRefresh);
    state.counters["points_a_channel"] = plot.graph(0)->data()->size();
}
BENCHMARK(BM_RedrawYear)->Unit(benchmark::kMillisecond);

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// One step from the view the user leaves to the next drawn with its span read. `ui_cpu_ms` is
// the window thread's own time for the step before it can take the next event (the span asked
// of the worker, nothing read); the iteration's wall time runs until the worker's answer is
// drawn, its CPU time is the window thread's in all (drawing included). Every step is a span
// not seen before.
void stepUntilDrawn(benchmark::State& state, OpenYear& open,
                    const std::function<void(HistoryPlot&)>& step) {
    HistoryPlot& plot = open.window.plot();
    double uiMs = 0.0;
    double worstUiMs = 0.0;
    std::int64_t steps = 0;
    for (auto _ : state) {
        const double before = threadCpuMs();
        step(plot);
        QApplication::sendPostedEvents();
        const double ui = threadCpuMs() - before;
        uiMs += ui;
        worstUiMs = std::max(worstUiMs, ui);
        open.waitForRange();
        plot.replot(QCustomPlot::rpImmediateRefresh);
        ++steps;
    }
    state.counters["ui_cpu_ms"] = uiMs / static_cast<double>(std::max<std::int64_t>(steps, 1));
    state.counters["ui_cpu_ms_worst"] = worstUiMs;
}

// A wheel step in, about a point a third of the way along, from the whole year down to a few
// seconds, and the whole year again.
void BM_ZoomStepYear(benchmark::State& state) {
    OpenYear open;
    const QCPRange whole = open.window.plot().xAxis->range();
    stepUntilDrawn(state, open, [&](HistoryPlot& plot) {
        const QCPRange range = plot.xAxis->range();
        if (range.size() < 60.0) {
            plot.xAxis->setRange(whole);
            return;
        }
        plot.xAxis->scaleRange(0.85, range.lower + range.size() / 3.0);
    });
    state.counters["last_level"] = open.window.shownRange()->level;
}
BENCHMARK(BM_ZoomStepYear)->Unit(benchmark::kMillisecond)->Iterations(200);

// A drag step of 2 % of the span with the whole year, a week, a day and three hours (every
// tick) in view; 25 steps onwards and back to the start, so no step finds its span in the cache.
void BM_PanStepYear(benchmark::State& state) {
    OpenYear open;
    HistoryPlot& plot = open.window.plot();
    const QCPRange whole = plot.xAxis->range();
    const double span =
        state.range(0) == 0 ? whole.size() : 3600.0 * static_cast<double>(state.range(0));
    const double start =
        state.range(0) == 0 ? whole.lower - whole.size() / 4.0 : whole.lower + whole.size() / 3.0;
    plot.xAxis->setRange(start, start + span);
    open.waitForRange();
    int step = 0;
    stepUntilDrawn(state, open, [&](HistoryPlot& chart) {
        if (++step % 25 == 0)
            chart.xAxis->setRange(start, start + span);
        else
            chart.xAxis->moveRange(span * 0.02);
    });
    state.counters["level"] = open.window.shownRange()->level;
    state.SetLabel(state.range(0) == 0 ? "the whole year in view"
                                       : std::to_string(state.range(0)) + " hours in view");
}
BENCHMARK(BM_PanStepYear)
    ->Arg(0)
    ->Arg(168)
    ->Arg(24)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

// What the worker spends on one span of the year: statistics and points of eight channels, at
// the plot's budget (1100 pixels, four points each), on this thread.
void BM_RangeOfTheYear(benchmark::State& state) {
    runs::RunDatabase database(year().path, runs::RunDatabase::Check::Header);
    StoredRange range(database, year().run);
    const RunExtent extent = range.extent();
    const double hours = static_cast<double>(state.range(0));
    const double span = hours == 0 ? secondsOf(extent.lastMs - extent.firstMs) : hours * 3600.0;
    const double start = secondsOf(extent.firstMs) + (hours == 0 ? 0.0 : 86400.0 * 100 + 0.5);
    ChannelMask all;
    all.fill(true);
    const std::atomic<bool> cancel{false};
    int step = 0;
    int level = 0;
    for (auto _ : state) {
        // A new span each time, a share of the span on, as a pan step.
        const double lower = start + span * 0.02 * (step++ % 25);
        const RangeAnswer answer = range.range({{lower, lower + span}, 4400, all}, cancel);
        level = answer.level;
        benchmark::DoNotOptimize(answer.points.data());
    }
    state.counters["level"] = level;
    state.SetLabel(hours == 0 ? "the whole year" : std::to_string(state.range(0)) + " hours");
}
BENCHMARK(BM_RangeOfTheYear)->Arg(0)->Arg(168)->Arg(24)->Arg(3)->Unit(benchmark::kMillisecond);

} // namespace
