#include "history/historyview.h"

#include "log/numbertext.h"

#include <algorithm>
#include <cmath>

namespace thermavo {

namespace {

constexpr double kTemperatureMarginShare = 0.05;
constexpr double kSmallestTemperatureMargin = 0.5;
// The right edge counts as at the newest tick within this share of the span.
constexpr double kNewestEdgeShare = 0.005;
constexpr std::size_t kPointsPerRun = 4;

std::int64_t msOf(double seconds) {
    return static_cast<std::int64_t>(std::floor(seconds * kMsPerSecond));
}

void appendTwoDigits(std::string& out, int value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

} // namespace

RunExtent extentOf(const RunStore& store) {
    RunExtent run;
    run.ticks = store.size();
    if (!store.empty()) {
        run.firstMs = store.time(0);
        run.lastMs = store.time(store.size() - 1);
    }
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        run.lowest[static_cast<std::size_t>(channel)] = store.lowest(channel);
        run.highest[static_cast<std::size_t>(channel)] = store.highest(channel);
    }
    return run;
}

Span wholeTimeSpan(const RunExtent& run, double nowSeconds) {
    if (run.ticks == 0) {
        return {nowSeconds - kEmptyTimeSpan, nowSeconds};
    }
    return atLeast({secondsOf(run.firstMs), secondsOf(run.lastMs)}, kNarrowestTimeSpan);
}

Span wholeTimeSpan(const RunStore& store, double nowSeconds) {
    return wholeTimeSpan(extentOf(store), nowSeconds);
}

Span wholeTemperatureSpan(const RunExtent& run, const ChannelMask& shown) {
    float lowest = kNoSample;
    float highest = kNoSample;
    for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
        if (!shown[channel] || !hasSample(run.lowest[channel])) {
            continue;
        }
        lowest = hasSample(lowest) ? std::min(lowest, run.lowest[channel]) : run.lowest[channel];
        highest =
            hasSample(highest) ? std::max(highest, run.highest[channel]) : run.highest[channel];
    }
    if (!hasSample(lowest)) {
        return kEmptyTemperatureSpan;
    }
    const double margin = std::max(kSmallestTemperatureMargin,
                                   kTemperatureMarginShare * (double{highest} - double{lowest}));
    return {double{lowest} - margin, double{highest} + margin};
}

Span wholeTemperatureSpan(const RunStore& store, const ChannelMask& shown) {
    return wholeTemperatureSpan(extentOf(store), shown);
}

Span zoomedAbout(Span span, double point, double factor, double narrowest) {
    if (!(factor > 0.0) || !std::isfinite(factor)) {
        return span;
    }
    if (span.size() * factor < narrowest) {
        factor = narrowest / span.size();
    }
    return {point + (span.lower - point) * factor, point + (span.upper - point) * factor};
}

Span atLeast(Span span, double narrowest) {
    if (span.size() >= narrowest) {
        return span;
    }
    const double middle = span.lower + span.size() / 2.0;
    return {middle - narrowest / 2.0, middle + narrowest / 2.0};
}

Span panned(Span span, double share) {
    const double by = span.size() * share;
    return {span.lower + by, span.upper + by};
}

bool rightEdgeAtNewest(const RunExtent& run, Span time) {
    if (run.ticks == 0) {
        return true;
    }
    return time.upper >= secondsOf(run.lastMs) - kNewestEdgeShare * time.size();
}

void ViewState::fitAll(const RunExtent& run, const ChannelMask& shown, double nowSeconds) {
    m_time = wholeTimeSpan(run, nowSeconds);
    m_temperature = wholeTemperatureSpan(run, shown);
    m_following = true;
    m_wholeRun = true;
}

void ViewState::moved(const RunExtent& run, Span time, Span temperature) {
    m_time = atLeast(time, kNarrowestTimeSpan);
    m_temperature = atLeast(temperature, kNarrowestTemperatureSpan);
    m_following = rightEdgeAtNewest(run, m_time);
    m_wholeRun = false;
}

bool ViewState::samplesAdded(const RunExtent& run, const ChannelMask& shown, double nowSeconds) {
    if (!m_following || run.ticks == 0) {
        return false;
    }
    if (m_wholeRun) {
        fitAll(run, shown, nowSeconds);
        return true;
    }
    const double newest = secondsOf(run.lastMs);
    if (m_time.upper >= newest) {
        return false;
    }
    m_time = {newest - m_time.size(), newest};
    return true;
}

std::optional<std::size_t> tickAt(const RunStore& store, double seconds) {
    const std::int64_t ms = msOf(seconds);
    const std::size_t after = store.upperBound(ms);
    if (after == 0) {
        return std::nullopt;
    }
    const std::size_t tick = after - 1;
    if (after < store.size() && store.startsSegment(after) && ms > store.time(tick)) {
        return std::nullopt;
    }
    return tick;
}

std::pair<std::size_t, std::size_t> ticksWithin(const RunStore& store, Span time) {
    return {store.lowerBound(static_cast<std::int64_t>(std::ceil(time.lower * 1000.0))),
            store.upperBound(msOf(time.upper))};
}

SpanStatistics statistics(const RunStore& store, Span time) {
    const auto [first, last] = ticksWithin(store, time);
    SpanStatistics result;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const RunStore::Extremes found = store.extremes(channel, first, last);
        if (found.count > 0) {
            result[static_cast<std::size_t>(channel)] = {
                found.count, store.value(found.lowest, channel),
                store.value(found.highest, channel), found.sum / static_cast<double>(found.count)};
        }
    }
    return result;
}

void plotPoints(const RunStore& store, Span time, int channel, std::size_t budget,
                std::vector<PlotPoint>& points) {
    points.clear();
    if (store.empty()) {
        return;
    }
    auto [first, last] = ticksWithin(store, time);
    first = first > 0 ? first - 1 : first;
    last = std::min(last + 1, store.size());
    if (first >= last) {
        return;
    }
    const std::size_t count = last - first;
    const std::size_t runs = std::max<std::size_t>(budget / kPointsPerRun, 1);
    std::size_t perRun = count <= budget ? 1 : (count + runs - 1) / runs;
    // Runs of whole summaries of the store, which it then need not look into.
    if (perRun >= RunStore::kSummaryTicks) {
        perRun = (perRun + RunStore::kSummaryTicks - 1) / RunStore::kSummaryTicks *
                 RunStore::kSummaryTicks;
    }
    const auto point = [&](std::size_t tick) {
        return PlotPoint{secondsOf(store.time(tick)), store.value(tick, channel)};
    };
    const double gap = std::numeric_limits<double>::quiet_NaN();

    for (std::size_t start = first; start < last;) {
        const std::size_t end = std::min(store.segmentEnd(start), last);
        if (start > first) {
            // The break between two segments: no samples there.
            points.push_back(
                {(secondsOf(store.time(start - 1)) + secondsOf(store.time(start))) / 2.0, gap});
        }
        for (std::size_t run = start; run < end;) {
            const std::size_t runEnd = std::min((run / perRun + 1) * perRun, end);
            const std::size_t runStart = run;
            run = runEnd;
            if (perRun == 1) {
                points.push_back(point(runStart));
                continue;
            }
            const RunStore::Extremes found = store.extremes(channel, runStart, runEnd);
            if (found.count == 0) {
                points.push_back(
                    {(secondsOf(store.time(runStart)) + secondsOf(store.time(runEnd - 1))) / 2.0,
                     gap});
                continue;
            }
            std::array<std::size_t, kPointsPerRun> ticks{found.first, found.lowest, found.highest,
                                                         found.last};
            std::sort(ticks.begin(), ticks.end());
            const auto unique = std::unique(ticks.begin(), ticks.end());
            for (auto tick = ticks.begin(); tick != unique; ++tick) {
                points.push_back(point(*tick));
            }
        }
        start = end;
    }
}

std::string csvHeader(const ChannelMask& columns) {
    std::string out = "Date and time,UTC offset";
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        if (columns[static_cast<std::size_t>(channel)]) {
            out += ",T" + std::to_string(channel + 1);
        }
    }
    out += "\r\n";
    return out;
}

std::string csvRow(const LocalDateTime& when, int utcOffsetSeconds, const RunStore& store,
                   std::size_t tick, const ChannelMask& columns) {
    TickValues values;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        values[static_cast<std::size_t>(channel)] = store.value(tick, channel);
    }
    return csvRow(when, utcOffsetSeconds, values, columns);
}

std::string csvRow(const LocalDateTime& when, int utcOffsetSeconds, const TickValues& values,
                   const ChannelMask& columns) {
    std::string out = std::to_string(when.year);
    out += '-';
    appendTwoDigits(out, when.month);
    out += '-';
    appendTwoDigits(out, when.day);
    out += ' ';
    appendTwoDigits(out, when.hour);
    out += ':';
    appendTwoDigits(out, when.minute);
    out += ':';
    appendTwoDigits(out, when.second);
    out += utcOffsetSeconds < 0 ? ",UTC-" : ",UTC+";
    const int offsetMinutes = std::abs(utcOffsetSeconds) / 60;
    appendTwoDigits(out, offsetMinutes / 60);
    out += ':';
    appendTwoDigits(out, offsetMinutes % 60);
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        if (!columns[static_cast<std::size_t>(channel)]) {
            continue;
        }
        out += ',';
        const float value = values[static_cast<std::size_t>(channel)];
        if (hasSample(value)) {
            out += fixedTwoDecimals(value, ".");
        }
    }
    out += "\r\n";
    return out;
}

} // namespace thermavo
