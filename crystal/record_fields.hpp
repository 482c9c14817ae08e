#pragma once

#include <cstddef>
#include <cstdint>

namespace morvak::crystal {

inline constexpr std::size_t count_field_width = 11;
inline constexpr std::size_t real_field_width = 25;

// Writes `count` right-aligned in count_field_width characters at `out` and
// returns the end of the field.
char *put_count(char *out, std::int32_t count);

// Writes `value` with 17 significant digits in real_field_width characters at
// `out` and returns the end of the field. Zero and magnitudes from 0.1 up to
// below 1e17 (judged after rounding to 17 digits) take fixed-point form,
// right-aligned in the first 20 characters and followed by 5 blanks, e.g.
// "  0.10000000000000001     "; other values take the form
// "1.0000000000000000E-003", right-aligned in all 25. Infinities and NaN are
// written as "Infinity", "-Infinity" and "NaN".
char *put_real(char *out, double value);

} // namespace morvak::crystal
