#include "log/numbertext.h"

#include <array>
#include <charconv>
#include <cmath>

namespace thermavo {

namespace {

// Enough fractional digits to print any float exactly (its smallest step is 2^-149).
constexpr int kExactFloatDecimals = 149;
// Enough significant digits to print any double exactly.
constexpr int kExactDoubleDigits = 767;
constexpr int kSignificantDigits = 15;
constexpr int kDecimals = 2;

std::string nonFiniteText(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    return value < 0 ? "-inf" : "inf";
}

// Adds one unit in the last place of a string of decimal digits; returns false on a carry out
// of the first digit, which the caller turns into a new leading "1".
bool incrementDigits(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return true;
        }
        *it = '0';
    }
    return false;
}

} // namespace

std::string fixedTwoDecimals(float value, std::string_view decimalSeparator) {
    const double exact = value;
    if (!std::isfinite(exact)) {
        return nonFiniteText(exact);
    }
    std::array<char, 64 + kExactFloatDecimals> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(exact),
                      std::chars_format::fixed, kExactFloatDecimals);
    const std::string_view text(buffer.data(),
                                static_cast<std::size_t>(result.ptr - buffer.data()));
    const std::size_t point = text.find('.');

    std::string digits(text.substr(0, point));
    digits.append(text.substr(point + 1, kDecimals));
    const bool roundUp = text[point + 1 + kDecimals] >= '5';
    if (roundUp && !incrementDigits(digits)) {
        digits.insert(digits.begin(), '1');
    }

    std::string out;
    if (std::signbit(exact)) {
        out += '-';
    }
    out.append(digits, 0, digits.size() - kDecimals);
    out.append(decimalSeparator);
    out.append(digits, digits.size() - kDecimals, kDecimals);
    return out;
}

std::string generalFifteenDigits(double value) {
    if (!std::isfinite(value)) {
        return nonFiniteText(value);
    }
    if (value == 0.0) {
        return "0";
    }
    std::array<char, 32 + kExactDoubleDigits> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                      std::chars_format::scientific, kExactDoubleDigits);
    const std::string_view text(buffer.data(),
                                static_cast<std::size_t>(result.ptr - buffer.data()));
    const std::size_t e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                    exponent);

    // text is "d.ddd...e±x": the first 15 digits are kept, the 16th decides the rounding.
    std::string digits;
    digits += text[0];
    digits.append(text.substr(2, kSignificantDigits - 1));
    if (text[2 + kSignificantDigits - 1] >= '5' && !incrementDigits(digits)) {
        digits.insert(digits.begin(), '1');
        digits.pop_back();
        ++exponent;
    }
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }

    std::string out;
    if (value < 0) {
        out += '-';
    }
    const int count = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

} // namespace thermavo
