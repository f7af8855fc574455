#include "ui/chartrules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace thermavo {

namespace {

constexpr double kHalfDay = 0.5;
constexpr long double kHighStart = -100.0L;
constexpr long double kLowStart = 100.0L;
constexpr double kRangeSpare = 0.5;

constexpr double kDesiredTimeStepSeconds = 10.0;
constexpr double kTimeLabelGap = 0.2;
constexpr double kTemperatureLabelGap = 0.1;
constexpr std::array<double, 24> kTimeStepsSeconds = {
    1,         5,         10,         15,         30,         60,         5 * 60,      10 * 60,
    15 * 60,   30 * 60,   3600,       2 * 3600,   6 * 3600,   12 * 3600,  86400,       2 * 86400,
    3 * 86400, 7 * 86400, 15 * 86400, 30 * 86400, 60 * 86400, 90 * 86400, 120 * 86400, 182 * 86400};

// The temperature steps 0.2, 0.5, 1, 2, 5, ... are kMantissas[i % 3] * 10^(i / 3 - 1); the index
// keeps them exact instead of multiplying up rounding errors.
constexpr std::array<double, 3> kMantissas = {1.0, 2.0, 5.0};
constexpr int kDesiredTemperatureStepIndex = 1;
// 10^308 is the largest decade a double holds; no finite range needs more.
constexpr int kLastTemperatureStepIndex = 3 * 309;

constexpr int kLabelDecimals = 3;
constexpr long long kMillisecondsPerDay = 86'400'000;

double usable(double size) {
    return std::isfinite(size) && size > 0.0 ? size : 0.0;
}

// How many labels of the given size, each with its minimum gap, fit along the axis.
double labelsThatFit(double axisPixels, double labelPixels, double gap) {
    const double pitch = usable(labelPixels) * (1.0 + gap);
    if (pitch <= 0.0) {
        return usable(axisPixels);
    }
    return std::round(usable(axisPixels) / pitch);
}

double temperatureStep(int index) {
    const double mantissa = kMantissas[static_cast<std::size_t>(index % 3)];
    const int exponent = index / 3 - 1;
    const double decade = std::pow(10.0, std::abs(exponent));
    return exponent < 0 ? mantissa / decade : mantissa * decade;
}

void insertGrouping(std::string& digits, const std::string& separator) {
    if (separator.empty()) {
        return;
    }
    for (std::size_t at = digits.size(); at > 3;) {
        at -= 3;
        digits.insert(at, separator);
    }
}

} // namespace

void addChartPoint(SeriesPoints& series, double clockTimeOfDay, float value) {
    if (!std::isfinite(clockTimeOfDay) || !std::isfinite(value)) {
        return;
    }
    double timeOfDay = clockTimeOfDay - std::floor(clockTimeOfDay);
    if (timeOfDay >= 1.0) {
        // A tiny negative clock time whose fraction rounds up to 1.
        timeOfDay = 0.0;
    }

    double x = timeOfDay;
    if (!series.empty()) {
        const double newest = series.back().x;
        const double newestDay = std::floor(newest);
        x = newestDay + timeOfDay;
        if (timeOfDay < newest - newestDay - kHalfDay) {
            x += 1.0;
        }
    }

    while (series.size() >= kMaxChartPoints) {
        series.pop_front();
    }
    series.push_back({x, static_cast<double>(value)});
}

std::optional<AxisRange>
rescaledTemperatureRange(const std::array<const SeriesPoints*, kChartSeriesCount>& series,
                         const std::array<bool, kChartSeriesCount>& valid) {
    long double high = kHighStart;
    long double low = kLowStart;
    for (std::size_t channel = 0; channel < series.size(); ++channel) {
        if (!valid[channel] || series[channel] == nullptr) {
            continue;
        }
        for (const ChartPoint& point : *series[channel]) {
            if (!std::isfinite(point.y)) {
                continue;
            }
            const long double y = point.y;
            high = std::max(high, y);
            low = std::min(low, y);
        }
    }
    if (low > high) {
        return std::nullopt;
    }
    return AxisRange{static_cast<double>(low - kRangeSpare),
                     static_cast<double>(high + kRangeSpare)};
}

double timeLabelStep(double rangeDays, double axisPixels, double widestLabelPixels) {
    const double fit = labelsThatFit(axisPixels, widestLabelPixels, kTimeLabelGap);
    const double rangeSeconds = usable(rangeDays) * kSecondsPerDay;
    auto step =
        std::find(kTimeStepsSeconds.begin(), kTimeStepsSeconds.end(), kDesiredTimeStepSeconds);
    while (std::next(step) != kTimeStepsSeconds.end() && std::round(rangeSeconds / *step) > fit) {
        ++step;
    }
    return *step / 2.0 / kSecondsPerDay;
}

double temperatureLabelStep(double range, double axisPixels, double labelHeightPixels) {
    const double fit = labelsThatFit(axisPixels, labelHeightPixels, kTemperatureLabelGap);
    const double span = usable(range);
    int index = kDesiredTemperatureStepIndex;
    while (index < kLastTemperatureStepIndex && std::round(span / temperatureStep(index)) > fit &&
           temperatureStep(index) <= span) {
        ++index;
    }
    return temperatureStep(index);
}

std::string temperatureLabelText(double value, const RegionalSettings& regional) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // Room for the 309 integer digits of the largest double, the point and three decimals.
    std::array<char, 320> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                      std::fabs(value), std::chars_format::fixed, kLabelDecimals);
    std::string text(buffer.data(), result.ptr);

    const std::size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string decimals = text.substr(point + 1);
    while (!decimals.empty() && decimals.back() == '0') {
        decimals.pop_back();
    }
    const bool zero = whole == "0" && decimals.empty();

    insertGrouping(whole, regional.thousandSeparator);
    std::string out = value < 0 && !zero ? "-" : "";
    out += whole;
    if (!decimals.empty()) {
        out += regional.decimalSeparator;
        out += decimals;
    }
    return out;
}

std::string timeLabelText(double days) {
    if (!std::isfinite(days)) {
        return {};
    }
    const double timeOfDay = days - std::floor(days);
    long long milliseconds = std::llround(timeOfDay * static_cast<double>(kMillisecondsPerDay));
    milliseconds %= kMillisecondsPerDay;
    const long long seconds = milliseconds / 1000;
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%02lld:%02lld:%02lld", seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text.data();
}

} // namespace thermavo
