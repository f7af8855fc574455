#pragma once

#include <limits>

// Decoding, accumulation and the filters compute in the x87 80-bit extended precision and round
// to single precision where a value is stored. A narrower long double (MSVC's is a plain double,
// as on most ARM targets) gives different temperatures in the readouts and logs.
static_assert(std::numeric_limits<long double>::digits == 64,
              "long double must be the 80-bit extended type with a 64-bit mantissa");
