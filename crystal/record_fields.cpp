#include "crystal/record_fields.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvak::crystal {

namespace {

constexpr std::size_t significant_digits = 17;
__extension__ using uint128 = unsigned __int128; // a GCC and Clang extension
constexpr std::size_t fixed_width = 20;

char *put_right_aligned(char *out, std::size_t width, std::string_view text) {
  const std::size_t pad = width - text.size();
  std::memset(out, ' ', pad);
  std::memcpy(out + pad, text.data(), text.size());
  return out + width;
}

// The 17 significant digits and the decimal exponent of `magnitude` when it
// lies from 0.1 up to below 1e17, the fixed-point range, where most
// coordinates fall; false elsewhere. The digits are round-half-even of
// magnitude * 10^(16 - exponent), computed exactly: magnitude = m * 2^e with
// m < 2^53, so m * 5^(16 - exponent) < 2^93 fits in 128 bits, and the power
// of two is a shift. This is what std::to_chars gives, several times faster.
bool fixed_range_digits(double magnitude, char *digits, int &exponent) {
  if (!(magnitude >= 0.1 && magnitude < 1e17))
    return false;
  static constexpr double powers[] = {1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7, 1e8,
                                      1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};
  // Powers of ten up to 1e16 are exact doubles; the double 0.1 lies above 1/10.
  exponent = -1;
  while (exponent < 16 && magnitude >= powers[exponent + 1])
    ++exponent;
  const int k = static_cast<int>(significant_digits) - 1 - exponent; // 0 to 17
  const auto bits = std::bit_cast<std::uint64_t>(magnitude);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
  const int e = static_cast<int>(bits >> 52) - 1075;
  static constexpr auto powers_of_five = [] {
    std::array<std::uint64_t, significant_digits + 1> table{};
    table[0] = 1;
    for (std::size_t i = 1; i < table.size(); ++i)
      table[i] = table[i - 1] * 5;
    return table;
  }();
  const uint128 scaled = static_cast<uint128>(m) * powers_of_five[k];
  const int shift = e + k; // magnitude * 10^k = scaled * 2^shift; shift > -64 here
  std::uint64_t q = 0;
  if (shift >= 0) {
    q = static_cast<std::uint64_t>(scaled << shift);
  } else {
    const int drop = -shift;
    q = static_cast<std::uint64_t>(scaled >> drop);
    const uint128 rest = scaled & ((static_cast<uint128>(1) << drop) - 1);
    const uint128 half = static_cast<uint128>(1) << (drop - 1);
    if (rest > half || (rest == half && (q & 1) != 0))
      ++q;
  }
  if (q >= 100000000000000000u) { // rounded up to the next power of ten
    q /= 10;
    ++exponent;
  }
  // Two halves of at most nine digits, each counted down in 32-bit arithmetic.
  auto high = static_cast<std::uint32_t>(q / 100000000);
  auto low = static_cast<std::uint32_t>(q % 100000000);
  for (int i = 16; i >= 9; --i, low /= 10)
    digits[i] = static_cast<char>('0' + low % 10);
  for (int i = 8; i >= 0; --i, high /= 10)
    digits[i] = static_cast<char>('0' + high % 10);
  return true;
}

} // namespace

char *put_count(char *out, std::int32_t count) {
  char text[count_field_width];
  const auto result = std::to_chars(text, text + sizeof text, count);
  return put_right_aligned(out, count_field_width,
                           std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
}

char *put_real(char *out, double value) {
  if (std::isnan(value))
    return put_right_aligned(out, real_field_width, "NaN");
  if (std::isinf(value))
    return put_right_aligned(out, real_field_width, value < 0 ? "-Infinity" : "Infinity");

  // The digits rounded to 17 significant ones, and the decimal exponent after
  // that rounding, which decides the form.
  char digits[significant_digits];
  int exponent = 0;
  if (!fixed_range_digits(std::fabs(value), digits, exponent)) {
    // "d.dddddddddddddddde[+-]dd[d]"
    char scientific[32];
    const auto printed =
        std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                      std::chars_format::scientific, static_cast<int>(significant_digits - 1));
    digits[0] = scientific[0];
    std::memcpy(digits + 1, scientific + 2, significant_digits - 1);
    const char *exponent_text = scientific + significant_digits + 2; // after the 'e'
    std::from_chars(exponent_text + (*exponent_text == '+' ? 1 : 0), printed.ptr, exponent);
  }

  char text[real_field_width];
  char *p = text;
  if (std::signbit(value))
    *p++ = '-';
  if (value == 0.0 || (exponent >= -1 && exponent < static_cast<int>(significant_digits))) {
    const auto integer_digits = static_cast<std::size_t>(exponent + 1); // 0 below 1
    if (integer_digits == 0) {
      *p++ = '0';
    } else {
      std::memcpy(p, digits, integer_digits);
      p += integer_digits;
    }
    *p++ = '.';
    std::memcpy(p, digits + integer_digits, significant_digits - integer_digits);
    p += significant_digits - integer_digits;
    put_right_aligned(out, fixed_width, std::string_view(text, static_cast<std::size_t>(p - text)));
    std::memset(out + fixed_width, ' ', real_field_width - fixed_width);
    return out + real_field_width;
  }
  *p++ = digits[0];
  *p++ = '.';
  std::memcpy(p, digits + 1, significant_digits - 1);
  p += significant_digits - 1;
  *p++ = 'E';
  *p++ = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  *p++ = static_cast<char>('0' + magnitude / 100);
  *p++ = static_cast<char>('0' + magnitude / 10 % 10);
  *p++ = static_cast<char>('0' + magnitude % 10);
  return put_right_aligned(out, real_field_width,
                           std::string_view(text, static_cast<std::size_t>(p - text)));
}

} // namespace morvak::crystal
