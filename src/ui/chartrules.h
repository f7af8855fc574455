#pragma once

#include "ui/regional.h"

#include <array>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace thermavo {

// The strip chart keeps the newest points of each series; older ones slide out.
constexpr std::size_t kMaxChartPoints = 100;
constexpr int kChartSeriesCount = 8;
// The series' colours as red, green, blue, T1 to T8; the history window draws the channels in
// them too.
constexpr std::array<unsigned, kChartSeriesCount> kChartSeriesColours = {
    0xFF0000, 0x0000FF, 0x808000, 0x008000, 0xFF8000, 0xFF00FF, 0x408080, 0x0080FF};

constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondDays = 1.0 / kSecondsPerDay;

// x: days. The fraction is the time of day; the whole days count the midnights passed since the
// series' first point, so a sampling period across midnight keeps growing to the right.
// y: degrees Celsius.
struct ChartPoint {
    double x = 0.0;
    double y = 0.0;
};

// Oldest point first.
using SeriesPoints = std::deque<ChartPoint>;

// Keeps the newest kMaxChartPoints - 1 points and appends one at the clock's time of day (0 up to
// 1). A clock time more than half a day below the newest point's time of day means the clock has
// passed midnight since then: the new x gets one more whole day than the newest point, so the
// line goes on to the right instead of jumping back. Ticks are at most 1000 s apart, so half a day
// cannot be mistaken. A clock time of 1 or more, or below 0, is taken as its time of day; a
// non-finite clock time or value is dropped, as no line can be drawn to it.
void addChartPoint(SeriesPoints& series, double clockTimeOfDay, float value);

struct AxisRange {
    double minimum = 15.0;
    double maximum = 30.0;
};

// The temperature range that shows every point of the channels that had a sample at this tick,
// with half a degree to spare. The search starts from -100 / 100, which therefore stay inside the
// range whenever all values lie beyond them. nullopt (keep the present range) when no valid
// channel holds a point. Null series pointers and non-finite values are skipped.
std::optional<AxisRange>
rescaledTemperatureRange(const std::array<const SeriesPoints*, kChartSeriesCount>& series,
                         const std::array<bool, kChartSeriesCount>& valid);

// Label steps of the two axes: starting from the desired step, the next larger step is taken
// while more labels than fit would be needed (with the minimum gap between labels). The time axis
// climbs the ladder 1 s .. 182 days and halves the result, as its labels alternate between two
// rows; the temperature axis climbs 0.2, 0.5, 1, 2, 5, 10, ... but never beyond the range. Both
// are days respectively degrees; unusable sizes (zero, negative, non-finite) count as zero.
double timeLabelStep(double rangeDays, double axisPixels, double widestLabelPixels);
double temperatureLabelStep(double range, double axisPixels, double labelHeightPixels);

// "#,##0.###": digit grouping, at most three decimals, no trailing zeros, with the regional
// separators. A value that rounds to zero is "0", never "-0".
std::string temperatureLabelText(double value, const RegionalSettings& regional);

// "hh:nn:ss" of the time of day, the whole days being ignored. Empty for a non-finite value.
std::string timeLabelText(double days);

} // namespace thermavo
