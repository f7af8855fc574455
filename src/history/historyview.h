#pragma once

#include "history/runstore.h"
#include "log/datetime.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace thermavo {

// The rules of the history window that need no pixels. Times are seconds since 1970 UTC as
// doubles, as the plot's date-time axis counts them; temperatures are °C.

struct Span {
    double lower = 0.0;
    double upper = 0.0;
    double size() const { return upper - lower; }
    bool operator==(const Span&) const = default;
};

using ChannelMask = std::array<bool, kHistoryChannels>;

inline constexpr double kMsPerSecond = 1000.0;
// The narrowest spans a view may zoom into: a few ticks, a few hundredths of a degree.
inline constexpr double kNarrowestTimeSpan = 5.0;
inline constexpr double kNarrowestTemperatureSpan = 0.05;
// The view with no samples yet: the strip chart's start range, the last minute.
inline constexpr Span kEmptyTemperatureSpan{15.0, 30.0};
inline constexpr double kEmptyTimeSpan = 60.0;

inline double secondsOf(std::int64_t msSinceEpoch) {
    return static_cast<double>(msSinceEpoch) / kMsPerSecond;
}

// What the view needs of a whole run, wherever it is kept: how many ticks, the first and last
// one's time and each channel's lowest and highest value (NaN while it has none).
struct RunExtent {
    std::size_t ticks = 0;
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    TickValues lowest = noSamples();
    TickValues highest = noSamples();

    static TickValues noSamples() {
        TickValues values;
        values.fill(kNoSample);
        return values;
    }
};
RunExtent extentOf(const RunStore& store);

// The whole run in time; a lone tick sits in the middle of the narrowest span. Without ticks,
// the minute up to `nowSeconds`.
Span wholeTimeSpan(const RunExtent& run, double nowSeconds);
Span wholeTimeSpan(const RunStore& store, double nowSeconds);
// Every value of the shown channels with a margin, at least half a degree either side.
Span wholeTemperatureSpan(const RunExtent& run, const ChannelMask& shown);
Span wholeTemperatureSpan(const RunStore& store, const ChannelMask& shown);

// The span scaled by factor about the point, which stays where it is on screen; never narrower
// than `narrowest`. A factor below 1 zooms in.
Span zoomedAbout(Span span, double point, double factor, double narrowest);
// The span widened about its middle to at least `narrowest`.
Span atLeast(Span span, double narrowest);
// The span moved by a share of its size (negative: back).
Span panned(Span span, double share);

// Where the view is and whether it follows new samples. Fitting all follows with the whole run;
// a zoom or pan that leaves the right edge at the newest sample follows with the span kept; any
// other leaves the view where the user put it until the next fit.
class ViewState {
public:
    void fitAll(const RunExtent& run, const ChannelMask& shown, double nowSeconds);
    void fitAll(const RunStore& store, const ChannelMask& shown, double nowSeconds) {
        fitAll(extentOf(store), shown, nowSeconds);
    }
    // The user moved the view; the spans are kept within the narrowest.
    void moved(const RunExtent& run, Span time, Span temperature);
    void moved(const RunStore& store, Span time, Span temperature) {
        moved(extentOf(store), time, temperature);
    }
    // New ticks came in; true when the view moved with them.
    bool samplesAdded(const RunExtent& run, const ChannelMask& shown, double nowSeconds);
    bool samplesAdded(const RunStore& store, const ChannelMask& shown, double nowSeconds) {
        return samplesAdded(extentOf(store), shown, nowSeconds);
    }

    Span time() const { return m_time; }
    Span temperature() const { return m_temperature; }
    bool following() const { return m_following; }
    bool wholeRun() const { return m_wholeRun; }

private:
    Span m_time{0.0, kEmptyTimeSpan};
    Span m_temperature = kEmptyTemperatureSpan;
    bool m_following = true;
    bool m_wholeRun = true;
};

// Whether the span's right edge is at (or beyond) the newest tick.
bool rightEdgeAtNewest(const RunExtent& run, Span time);

// The newest tick at or before the time, unless the time lies in a break between segments
// (or before the first tick): then none.
std::optional<std::size_t> tickAt(const RunStore& store, double seconds);

struct ChannelStatistics {
    std::size_t count = 0;
    float minimum = kNoSample;
    float maximum = kNoSample;
    double mean = 0.0;
};
using SpanStatistics = std::array<ChannelStatistics, kHistoryChannels>;

// Minimum, maximum and mean of every channel's samples at times within the span, ends included.
SpanStatistics statistics(const RunStore& store, Span time);

// The index range of the ticks at times within the span, ends included: [first, last).
std::pair<std::size_t, std::size_t> ticksWithin(const RunStore& store, Span time);

struct PlotPoint {
    double key = 0.0;
    double value = 0.0;
};

// The points the plot gets for one channel and the span in view, with one tick beyond each edge
// so the line runs to the edges. While the span holds at most `budget` ticks, every tick, a tick
// without a sample as NaN, which the plot shows as a break. Beyond that, the ticks are taken in
// runs of equal length, each giving its first, lowest, highest and last sample in time order, so
// that the line drawn at the plot's resolution is the one all ticks would give. Between segments
// a NaN point breaks the line.
void plotPoints(const RunStore& store, Span time, int channel, std::size_t budget,
                std::vector<PlotPoint>& points);

// Comma-separated values for other programs: local date and time to the second as
// "YYYY-MM-DD hh:mm:ss", its UTC offset as text ("UTC+01:00"), then the channels' values with
// "." and two decimals, empty where a tick has no sample.
std::string csvHeader(const ChannelMask& columns);
std::string csvRow(const LocalDateTime& when, int utcOffsetSeconds, const RunStore& store,
                   std::size_t tick, const ChannelMask& columns);
std::string csvRow(const LocalDateTime& when, int utcOffsetSeconds, const TickValues& values,
                   const ChannelMask& columns);

} // namespace thermavo
