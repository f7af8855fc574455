#pragma once

#include <string>
#include <string_view>

namespace thermavo {

// Number texts of the log files. They never consult the C locale: the program runs with the
// user's locale switched on, and the SYLK log must keep "." whatever it says.

// Fixed notation with two decimals, rounded half away from zero on the exact value
// (21.125 -> "21.13"), "-" for any negative value including those that round to zero.
std::string fixedTwoDecimals(float value, std::string_view decimalSeparator);

// At most 15 significant digits, rounded half away from zero, trailing zeros and a bare point
// removed, never an exponent, "." as decimal point.
std::string generalFifteenDigits(double value);

} // namespace thermavo
