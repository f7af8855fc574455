#include "history/historyplot.h"
#include "history/historyview.h"
#include "history/historywindow.h"
#include "history/logloader.h"
#include "log/logfile.h"
#include "log/logreader.h"
#include "log/sylklog.h"
#include "log/tablog.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>
#include <unistd.h>

// A week at one tick a second, 8 channels: the store, the history window's redraw, zoom and pan
// steps, and reading a week-long log back.

using namespace thermavo;

namespace {

constexpr std::size_t kWeekTicks = 604'800;
const QDateTime kStart(QDate(2024, 12, 2), QTime(8, 0, 0));

long residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLong() * sysconf(_SC_PAGESIZE);
}

TickValues weekValues(std::size_t tick) {
    TickValues values;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        // A daily swing, a slow drift and a little noise.
        const double t = static_cast<double>(tick);
        values[static_cast<std::size_t>(channel)] =
            static_cast<float>(20.0 + channel + 3.0 * std::sin(t / 86400.0 * 6.2832 + channel) +
                               0.2 * std::sin(t * 0.37 + channel * 1.7));
    }
    return values;
}

void fillWeek(RunStore& store) {
    const std::int64_t start = kStart.toMSecsSinceEpoch();
    for (std::size_t tick = 0; tick < kWeekTicks; ++tick) {
        // The board was away for ten minutes twice in the week.
        if (tick == 200'000 || tick == 400'000) {
            store.breakSegment();
        }
        store.append(start + static_cast<std::int64_t>(tick) * 1000 +
                         (tick >= 200'000 ? 600'000 : 0) + (tick >= 400'000 ? 600'000 : 0),
                     weekValues(tick));
    }
}

RunStore& week() {
    static RunStore store = [] {
        RunStore filled;
        fillWeek(filled);
        return filled;
    }();
    return store;
}

HistoryServices quietServices() {
    HistoryServices services;
    services.now = [] { return kStart.addDays(7); };
    services.regionalSettings = [] { return RegionalSettings{}; };
    services.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
    services.chooseLogFile = [](QWidget*) { return QString(); };
    services.chooseSaveFile = [](QWidget*, const QString&, const QString&, const QString&) {
        return QString();
    };
    return services;
}

// Memory a week of ticks takes in the store, as the process sees it.
void BM_StoreWeek(benchmark::State& state) {
    for (auto _ : state) {
        const long before = residentBytes();
        RunStore store;
        fillWeek(store);
        const long after = residentBytes();
        state.counters["store bytes/tick"] =
            static_cast<double>(store.bytesUsed()) / static_cast<double>(store.size());
        state.counters["RSS bytes/tick"] =
            static_cast<double>(after - before) / static_cast<double>(store.size());
    }
}
BENCHMARK(BM_StoreWeek)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PlotPointsWeek(benchmark::State& state) {
    const RunStore& store = week();
    const Span whole = wholeTimeSpan(store, 0.0);
    std::vector<PlotPoint> points;
    for (auto _ : state) {
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            plotPoints(store, whole, channel, 4 * 900, points);
            benchmark::DoNotOptimize(points.data());
        }
    }
}
BENCHMARK(BM_PlotPointsWeek)->Unit(benchmark::kMillisecond);

void BM_StatisticsWeek(benchmark::State& state) {
    const RunStore& store = week();
    const Span whole = wholeTimeSpan(store, 0.0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(statistics(store, whole));
    }
}
BENCHMARK(BM_StatisticsWeek)->Unit(benchmark::kMillisecond);

struct OpenWindow {
    OpenWindow() : window(week(), quietServices()) {
        window.resize(1200, 640);
        window.showRun();
        QApplication::processEvents();
    }
    HistoryWindow window;
};

// The whole week redrawn: axes, eight curves of what the store hands the plot, the labels.
void BM_RedrawWeek(benchmark::State& state) {
    // What a window takes whatever it shows (fonts, paint buffers) is counted before.
    const RunStore empty;
    HistoryWindow warm(empty, quietServices());
    warm.resize(1200, 640);
    warm.showRun();
    QApplication::processEvents();
    warm.plot().replot(QCustomPlot::rpImmediateRefresh);
    const long before = residentBytes();
    OpenWindow open;
    HistoryPlot& plot = open.window.plot();
    plot.replot(QCustomPlot::rpImmediateRefresh);
    state.counters["window RSS bytes/tick"] =
        static_cast<double>(residentBytes() - before) / static_cast<double>(kWeekTicks);
    for (auto _ : state) {
        plot.replot(QCustomPlot::rpImmediateRefresh);
    }
}
BENCHMARK(BM_RedrawWeek)->Unit(benchmark::kMillisecond);

// One step of the wheel, in and out about the middle, with the plot's points taken anew and
// the statistics of the span.
void BM_ZoomStepWeek(benchmark::State& state) {
    OpenWindow open;
    HistoryPlot& plot = open.window.plot();
    const double centre = plot.xAxis->range().center();
    bool in = true;
    for (auto _ : state) {
        plot.xAxis->scaleRange(in ? 0.85 : 1.0 / 0.85, centre);
        QApplication::sendPostedEvents();
        QApplication::processEvents();
        plot.replot(QCustomPlot::rpImmediateRefresh);
        in = !in;
    }
}
BENCHMARK(BM_ZoomStepWeek)->Unit(benchmark::kMillisecond);

// A drag step of 2 % of the span, over the whole week and over one day of it.
void BM_PanStepWeek(benchmark::State& state) {
    OpenWindow open;
    HistoryPlot& plot = open.window.plot();
    if (state.range(0) == 1) {
        const double start = plot.xAxis->range().lower;
        plot.xAxis->setRange(start + 86400.0 * 3, start + 86400.0 * 4);
    }
    const double step = plot.xAxis->range().size() * 0.02;
    bool right = true;
    for (auto _ : state) {
        plot.xAxis->moveRange(right ? step : -step);
        QApplication::sendPostedEvents();
        QApplication::processEvents();
        plot.replot(QCustomPlot::rpImmediateRefresh);
        right = !right;
    }
    state.SetLabel(state.range(0) == 1 ? "one day in view" : "the whole week in view");
}
BENCHMARK(BM_PanStepWeek)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The other way: every tick of the week in QCustomPlot's own graphs (a double key and a double
// value a point), the library left to sample them down itself.
void BM_FullResolutionGraphsWeek(benchmark::State& state) {
    const RunStore& store = week();
    const long before = residentBytes();
    QCustomPlot plot;
    plot.resize(1200, 640);
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        QVector<QCPGraphData> data;
        data.reserve(static_cast<qsizetype>(store.size()));
        for (std::size_t tick = 0; tick < store.size(); ++tick) {
            data.append(QCPGraphData(secondsOf(store.time(tick)), store.value(tick, channel)));
        }
        plot.addGraph()->data()->set(data, true);
    }
    plot.xAxis->setRange(secondsOf(store.time(0)), secondsOf(store.time(store.size() - 1)));
    plot.yAxis->setRange(15, 35);
    plot.show();
    QApplication::processEvents();
    state.counters["graphs RSS bytes/tick"] =
        static_cast<double>(residentBytes() - before) / static_cast<double>(store.size());
    for (auto _ : state) {
        plot.replot(QCustomPlot::rpImmediateRefresh);
    }
}
BENCHMARK(BM_FullResolutionGraphsWeek)->Unit(benchmark::kMillisecond);

LocalDateTime localOf(const QDateTime& time) {
    const QDate date = time.date();
    const QTime clock = time.time();
    return {date.year(),    date.month(),   date.day(),  clock.hour(),
            clock.minute(), clock.second(), clock.msec()};
}

// A week-long log written by the log writers, once per run of the benchmark.
QString weekLog(bool sylk) {
    static QTemporaryDir folder;
    const QString path = folder.filePath(sylk ? "week.slk" : "week.txt");
    if (QFile::exists(path)) {
        return path;
    }
    LogFile file;
    sylk ? openSylkLog(file, path.toStdString()) : openTabLog(file, path.toStdString());
    const RunStore& store = week();
    const RegionalSettings regional;
    for (std::size_t tick = 0; tick < store.size(); ++tick) {
        LogChannels channels;
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            channels[static_cast<std::size_t>(channel)] = {true, store.value(tick, channel)};
        }
        const LocalDateTime when = localOf(QDateTime::fromMSecsSinceEpoch(store.time(tick)));
        if (sylk) {
            writeSylkRecord(file, when, channels);
        } else {
            writeTabRecord(file, when, channels, regional);
        }
    }
    sylk ? closeSylkLog(file) : closeTabLog(file);
    return path;
}

// Reading a week-long log back on the loader's thread, as the window does.
void BM_ReadWeekLog(benchmark::State& state) {
    const bool sylk = state.range(0) == 0;
    const QString path = weekLog(sylk);
    std::size_t ticks = 0;
    for (auto _ : state) {
        LogLoader loader;
        QEventLoop loop;
        QObject::connect(&loader, &LogLoader::finished, &loop, &QEventLoop::quit);
        loader.start(path, RegionalSettings{}, LogReader::kDefaultNearYear);
        loop.exec();
        ticks = loader.takeStore().size();
    }
    state.counters["records"] = static_cast<double>(ticks);
    state.counters["MB"] = static_cast<double>(QFileInfo(path).size()) / 1e6;
    state.SetLabel(sylk ? "SYLK" : "TAB");
}
BENCHMARK(BM_ReadWeekLog)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
