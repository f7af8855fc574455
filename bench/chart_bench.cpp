#include "ui/stripchart.h"

#include <QImage>
#include <benchmark/benchmark.h>
#include <cmath>

namespace {

constexpr double kSecond = 1.0 / 86400.0;

// One full repaint of a chart in the window's size with every series full.
void BM_FullRepaint(benchmark::State& state) {
    thermavo::StripChart chart;
    chart.resize(641, 299);
    chart.setFont(QFont(QStringLiteral("Sans"), 8));
    for (int tick = 0; tick < 100; ++tick) {
        for (int series = 0; series < thermavo::StripChart::kSeriesCount; ++series) {
            const float value = 20.0f + static_cast<float>(series) +
                                static_cast<float>(std::sin(tick * 0.1 + series));
            chart.addPoint(series, 0.5 + 2 * tick * kSecond, value);
        }
    }
    chart.rescale({true, true, true, true, true, true, true, true});
    QImage image(chart.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        chart.render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_FullRepaint)->Unit(benchmark::kMicrosecond);

// What every sample tick costs the chart: a new point in every series of a full chart, and the
// repaint that follows.
void BM_TickRepaint(benchmark::State& state) {
    thermavo::StripChart chart;
    chart.resize(641, 299);
    chart.setFont(QFont(QStringLiteral("Sans"), 8));
    const auto value = [](int tick, int series) {
        return 20.0f + static_cast<float>(series) +
               static_cast<float>(std::sin(tick * 0.1 + series));
    };
    int tick = 0;
    for (; tick < 100; ++tick) {
        for (int series = 0; series < thermavo::StripChart::kSeriesCount; ++series)
            chart.addPoint(series, 0.5 + tick * kSecond, value(tick, series));
    }
    QImage image(chart.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        for (int series = 0; series < thermavo::StripChart::kSeriesCount; ++series)
            chart.addPoint(series, 0.5 + tick * kSecond, value(tick, series));
        ++tick;
        chart.rescale({true, true, true, true, true, true, true, true});
        chart.render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_TickRepaint)->Unit(benchmark::kMicrosecond);

} // namespace
