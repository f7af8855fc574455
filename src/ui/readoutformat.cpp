#include "ui/readoutformat.h"

#include <cmath>
#include <cstdio>

namespace thermavo {

namespace {

constexpr double kHundredths = 100.0;
// Hundredths of the smallest value whose whole part needs all three places, and of the
// smallest one that needs more.
constexpr double kThreeDigitHundredths = 10000.0;
constexpr double kFourDigitHundredths = 100000.0;
constexpr int kShownPlaces = 3;

} // namespace

std::string readoutText(float value, std::string_view decimalSeparator) {
    if (!std::isfinite(value)) {
        return {};
    }
    // A float has 24 significant bits, so its magnitude times 100 is exact in a double, and so
    // are the floor and the remainder taken from it.
    const double scaled = std::fabs(static_cast<double>(value)) * kHundredths;
    double hundredths = std::floor(scaled);
    if (scaled - hundredths >= 0.5) {
        hundredths += 1.0;
    }
    const auto kept = static_cast<int>(std::fmod(hundredths, kFourDigitHundredths));
    const int whole = kept / 100;
    const int fraction = kept % 100;

    std::string wholeDigits = std::to_string(whole);
    if (hundredths >= kFourDigitHundredths) {
        wholeDigits.insert(0, static_cast<std::size_t>(kShownPlaces) - wholeDigits.size(), '0');
    }

    std::string text;
    if (value < 0 && hundredths < kThreeDigitHundredths) {
        text += '-';
    }
    text += wholeDigits;
    text += decimalSeparator;
    text += static_cast<char>('0' + fraction / 10);
    text += static_cast<char>('0' + fraction % 10);
    return text;
}

std::string durationText(std::int32_t seconds) {
    constexpr std::int32_t kHour = 3600;
    constexpr std::int32_t kMinute = 60;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%.2d:%.2d", seconds / kHour, (seconds % kHour) / kMinute,
                  seconds % kMinute);
    return text;
}

} // namespace thermavo
