// The number and date texts of the logs and the readouts, on arbitrary values and settings.
// "%0.2f" is checked against an exact long-double rounding and by reading it back; the 15-digit
// general number against the C library's exact digits rounded here; the readout against its
// "###.##" picture built from the two-decimal text; the TAB log's date and time against a model
// of the pattern letters and the time fields.
#include "fuzzcheck.h"
#include "log/datetime.h"
#include "log/numbertext.h"
#include "log/tablog.h"
#include "ui/readoutformat.h"
#include "ui/regional.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>

namespace thermavo {
namespace {

constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kLineBreaksAndTab = "\t\r\n";

bool allDigits(std::string_view text) {
    return text.find_first_not_of(kDigits) == std::string_view::npos;
}

std::string digitsOf(long double whole) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.0Lf", whole);
    return buffer.data();
}

// Separators as the regional settings may give them: never a digit or a minus sign, which would
// make the number ambiguous.
std::string separator(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return ".";
    case 1:
        return ",";
    default: {
        std::string text = input.ConsumeRandomLengthString(3);
        std::erase_if(text, [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
        return text.empty() ? "'" : text;
    }
    }
}

// Any bit pattern, or one of the values readings and samples usually take: hundredths and
// thousandths, where the rounding and the three places are decided.
float anyFloat(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return static_cast<float>(input.ConsumeIntegral<std::int16_t>()) / 100.0f;
    case 1:
        return static_cast<float>(input.ConsumeIntegral<std::int32_t>()) / 1000.0f;
    default:
        return std::bit_cast<float>(input.ConsumeIntegral<std::uint32_t>());
    }
}

// The hundredths of |value| rounded half away from zero. |value| * 100 needs 31 significant
// bits and is exact in a long double, and so are its floor and the remainder.
long double roundedHundredths(float value) {
    const long double scaled = std::fabs(static_cast<long double>(value)) * 100.0L;
    const long double whole = std::floor(scaled);
    return scaled - whole >= 0.5L ? whole + 1.0L : whole;
}

void checkFixedTwoDecimals(FuzzedDataProvider& input) {
    const float value = anyFloat(input);
    const std::string sep = separator(input);
    const std::string text = fixedTwoDecimals(value, sep);
    if (!std::isfinite(value)) {
        return;
    }
    const bool minus = text.starts_with('-');
    if (value < 0) {
        require(minus, "a negative value has its minus sign");
    } else if (value > 0) {
        require(!minus, "a positive value has no minus sign");
    }
    const std::string_view body = std::string_view(text).substr(minus ? 1 : 0);
    require(body.size() >= sep.size() + 3, "digits, the separator and two decimals");
    const std::string_view whole = body.substr(0, body.size() - sep.size() - 2);
    const std::string_view fraction = body.substr(body.size() - 2);
    require(body.substr(whole.size(), sep.size()) == sep, "the separator before two decimals");
    require(!whole.empty() && allDigits(whole) && allDigits(fraction), "digits only");
    require(whole.size() == 1 || whole.front() != '0', "no leading zeros");

    const long double hundredths = roundedHundredths(value);
    if (hundredths < 0x1p62L) {
        const std::string expected = digitsOf(hundredths);
        const std::string padded =
            std::string(3 - std::min<std::size_t>(3, expected.size()), '0') + expected;
        require(std::string(whole) + std::string(fraction) == padded,
                "rounded half away from zero to the hundredth");
    } else {
        // Floats this large are whole numbers; the text must be the exact one.
        const std::string plain = std::string(whole) + "." + std::string(fraction);
        require(std::strtold(plain.c_str(), nullptr) == std::fabs(static_cast<long double>(value)),
                "a large value reads back exactly");
        require(fraction == "00", "a large value has no fraction");
    }
}

// The general number: the exact decimal digits of the double from the C library, rounded half
// away from zero to 15 significant digits, trailing zeros and a bare point dropped.
std::string referenceGeneral(double value) {
    if (value == 0.0) {
        return "0";
    }
    // 767 significant digits write any double exactly.
    std::array<char, 800> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.766e", std::fabs(value));
    const std::string_view exact(buffer.data());
    int exponent = std::atoi(exact.data() + exact.find('e') + 1);
    std::string digits = std::string(1, exact[0]) + std::string(exact.substr(2, 14));
    if (exact[16] >= '5') {
        int at = 14;
        while (at >= 0 && digits[static_cast<std::size_t>(at)] == '9') {
            digits[static_cast<std::size_t>(at--)] = '0';
        }
        if (at < 0) {
            digits.insert(0, "1");
            digits.pop_back();
            ++exponent;
        } else {
            ++digits[static_cast<std::size_t>(at)];
        }
    }
    // Place the point: digits d1..d15 stand for d1.d2...d15 x 10^exponent.
    std::string plain;
    if (exponent < 0) {
        plain = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (exponent >= 14) {
        plain = digits + std::string(static_cast<std::size_t>(exponent - 14), '0');
    } else {
        const auto point = static_cast<std::size_t>(exponent + 1);
        plain = digits.substr(0, point) + "." + digits.substr(point);
    }
    if (plain.find('.') != std::string::npos) {
        while (plain.ends_with('0')) {
            plain.pop_back();
        }
        if (plain.ends_with('.')) {
            plain.pop_back();
        }
    }
    return (value < 0 ? "-" : "") + plain;
}

int daysInMonth(int year, int month) {
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

LocalDateTime anyDateTime(FuzzedDataProvider& input) {
    LocalDateTime when;
    when.year = input.ConsumeIntegralInRange(1, 9999);
    when.month = input.ConsumeIntegralInRange(1, 12);
    when.day = input.ConsumeIntegralInRange(1, daysInMonth(when.year, when.month));
    when.hour = input.ConsumeIntegralInRange(0, 23);
    when.minute = input.ConsumeIntegralInRange(0, 59);
    when.second = input.ConsumeIntegralInRange(0, 59);
    when.millisecond = input.ConsumeIntegralInRange(0, 999);
    return when;
}

void checkGeneralFifteenDigits(FuzzedDataProvider& input) {
    // Day counts of the log's time stamps: from real dates, or any double of that size.
    double value = 0.0;
    if (input.ConsumeBool()) {
        value = daysSince1899(anyDateTime(input));
    } else {
        value = std::fmod(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>()), 3.0e6);
        if (!std::isfinite(value)) {
            return;
        }
    }
    const std::string text = generalFifteenDigits(value);
    require(text.find_first_not_of("-.0123456789") == std::string::npos, "no exponent");
    require(std::count(text.begin(), text.end(), '.') <= 1, "one point at most");
    std::string digits = text.substr(std::min(text.size(), text.find_first_not_of("-.0")));
    std::erase(digits, '.');
    require(digits.size() <= 15 || digits.find_first_not_of('0', 15) == std::string::npos,
            "at most 15 significant digits");
    if (text.find('.') != std::string::npos) {
        require(!text.ends_with('0') && !text.ends_with('.'), "no trailing zeros or bare point");
    }
    const long double back = std::strtold(text.c_str(), nullptr);
    const long double unit =
        value == 0.0 ? 0.0L : std::pow(10.0L, std::floor(std::log10(std::fabs(value))) - 14);
    // Half a unit of the 15th digit, and the long double's own rounding of the text read back.
    require(std::fabs(back - value) <= unit / 2 + std::fabs(value) * 0x1p-62L,
            "reads back within half a unit");
    require(text == referenceGeneral(value), "rounded half away from zero at the 15th digit");
}

void checkReadout(FuzzedDataProvider& input) {
    const float value = anyFloat(input);
    const std::string sep = separator(input);
    const std::string text = readoutText(value, sep);
    if (!std::isfinite(value)) {
        require(text.empty(), "no number, no text");
        return;
    }
    // "###.##": the two-decimal text without its sign, its last three places before the
    // point, and the minus sign only where a place is left for it.
    const std::string fixed = fixedTwoDecimals(value, ".");
    const std::string_view unsigned_ = std::string_view(fixed).substr(fixed.starts_with('-'));
    std::string_view whole = unsigned_.substr(0, unsigned_.find('.'));
    const std::string_view fraction = unsigned_.substr(unsigned_.find('.') + 1);
    if (whole.size() > 3) {
        whole = whole.substr(whole.size() - 3);
    }
    const std::string sign = value < 0 && whole.size() < 3 ? "-" : "";
    require(text == sign + std::string(whole) + sep + std::string(fraction),
            "the readout shows the value through ###.##");
    require(text.size() - sep.size() <= 5, "three places before the point, two after");
}

// A pattern made of the date letters, literal characters and quoted text, together with the
// text it must give.
struct Pattern {
    std::string pattern;
    std::string expected;
};

std::string padded(int value, std::size_t width) {
    std::string digits = std::to_string(value);
    return std::string(width - std::min(width, digits.size()), '0') + digits;
}

Pattern buildPattern(FuzzedDataProvider& input, const LocalDateTime& when) {
    Pattern out;
    char lastLetter = 0;
    const auto letters = [&](char letter, std::string_view token, std::string value) {
        // Two tokens of one letter side by side would read as one longer token.
        if (lastLetter == letter) {
            out.pattern += '/';
            out.expected += '/';
        }
        out.pattern += token;
        out.expected += value;
        lastLetter = letter;
    };
    const int count = input.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < count; ++i) {
        switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0:
            letters('d', "d", std::to_string(when.day));
            break;
        case 1:
            letters('d', "dd", padded(when.day, 2));
            break;
        case 2:
            letters('M', "M", std::to_string(when.month));
            break;
        case 3:
            letters('M', "MM", padded(when.month, 2));
            break;
        case 4:
            letters('y', "yy", padded(when.year % 100, 2));
            break;
        case 5:
            letters('y', "yyyy", padded(when.year, 4));
            break;
        case 6: {
            const char c = input.ConsumeIntegral<char>();
            if (c != 'd' && c != 'M' && c != 'y' && c != '\'') {
                out.pattern += c;
                out.expected += c;
                lastLetter = 0;
            }
            break;
        }
        default: {
            std::string quoted = input.ConsumeRandomLengthString(6);
            std::erase(quoted, '\'');
            // An empty quote is the escape for a quote character.
            out.pattern += "'" + quoted + "'";
            out.expected += quoted.empty() ? "'" : quoted;
            lastLetter = 0;
            break;
        }
        }
    }
    return out;
}

std::string referenceTime(const LocalDateTime& when, const RegionalSettings& regional) {
    int hour = when.hour;
    if (regional.twelveHour) {
        hour = hour % 12 == 0 ? 12 : hour % 12;
    }
    const std::string time = padded(hour, regional.hourLeadingZero ? 2 : 1) +
                             regional.timeSeparator + padded(when.minute, 2) +
                             regional.timeSeparator + padded(when.second, 2);
    if (!regional.twelveHour) {
        return time;
    }
    const std::string& designator = when.hour < 12 ? regional.amDesignator : regional.pmDesignator;
    return regional.designatorFirst ? designator + " " + time : time + " " + designator;
}

void checkDateTime(FuzzedDataProvider& input) {
    const LocalDateTime when = anyDateTime(input);
    RegionalSettings regional;
    regional.timeSeparator = input.ConsumeRandomLengthString(3);
    regional.hourLeadingZero = input.ConsumeBool();
    regional.twelveHour = input.ConsumeBool();
    regional.amDesignator = input.ConsumeRandomLengthString(4);
    regional.pmDesignator = input.ConsumeRandomLengthString(4);
    regional.designatorFirst = input.ConsumeBool();
    const bool built = input.ConsumeBool();
    const Pattern pattern = built ? buildPattern(input, when)
                                  : Pattern{input.ConsumeRandomLengthString(24), std::string()};
    regional.shortDatePattern = pattern.pattern;

    const std::string date = shortDateText(when, pattern.pattern);
    if (built) {
        require(date == pattern.expected, "the date follows its pattern");
    } else if (pattern.pattern.find_first_of("dMy'") == std::string::npos) {
        require(date == pattern.pattern, "a pattern without letters or quotes stands as it is");
    }
    const std::string text = tabDateTimeText(when, regional);
    const bool midnight = when.hour == 0 && when.minute == 0 && when.second == 0;
    require(text == (midnight ? date : date + " " + referenceTime(when, regional)),
            "the date, then unless at midnight a blank and the time");

    const std::string literals =
        pattern.pattern + regional.timeSeparator + regional.amDesignator + regional.pmDesignator;
    for (const char c : kLineBreaksAndTab) {
        if (literals.find(c) == std::string::npos) {
            require(text.find(c) == std::string::npos, "no TAB or line break of its own");
        }
    }
}

} // namespace
} // namespace thermavo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace thermavo;
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        checkFixedTwoDecimals(input);
        break;
    case 1:
        checkGeneralFifteenDigits(input);
        break;
    case 2:
        checkReadout(input);
        break;
    default:
        checkDateTime(input);
        break;
    }
    return 0;
}
