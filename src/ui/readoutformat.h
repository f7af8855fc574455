#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace thermavo {

// The readouts' picture "###.##": two decimals rounded half away from zero on the value's exact
// binary value, at most three digits before the point (surplus leading digits dropped), a "-"
// only where a free place is left for it, no blanks. So -45 reads "-45.00", -100 "100.00" and
// -1000 "000.00". A value that is no finite number reads as the empty text.
std::string readoutText(float value, std::string_view decimalSeparator);

// A span of seconds as hours, minutes and seconds: "0:00:02", "27:46:39".
std::string durationText(std::int32_t seconds);

} // namespace thermavo
