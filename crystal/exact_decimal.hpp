#pragma once

#include <cstdint>

namespace morvak::crystal {

// The plain decimal number at the start of [p, end): an optional '-', digits
// with an optional point (at least one digit in all), and an optional exponent
// introduced by e, E, d or D with an optional sign and at least one digit.
// On success stores the correctly rounded double in `value` and returns the
// end of the number, which the caller checks for a separator. Returns nullptr
// for every text it does not take: texts that are no such number, and some
// that are: more than 19 significant digits, a '+' sign, results that
// overflow, underflow or are subnormal, and the rare products that the
// 128-bit approximation can't decide. Callers then use a general parser,
// which gives the same value for every text this function takes.
const char *parse_exact_decimal(const char *p, const char *end, double &value);

} // namespace morvak::crystal
