#include "crystal/record_fields.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace morvak::crystal {

namespace {

constexpr std::size_t significant_digits = 17;
constexpr std::size_t fixed_width = 20;

char *put_right_aligned(char *out, std::size_t width, std::string_view text) {
  const std::size_t pad = width - text.size();
  std::memset(out, ' ', pad);
  std::memcpy(out + pad, text.data(), text.size());
  return out + width;
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
  // that rounding, which decides the form: "d.dddddddddddddddde[+-]dd[d]".
  char scientific[32];
  const auto printed =
      std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                    std::chars_format::scientific, static_cast<int>(significant_digits - 1));
  char digits[significant_digits];
  digits[0] = scientific[0];
  std::memcpy(digits + 1, scientific + 2, significant_digits - 1);
  const char *exponent_text = scientific + significant_digits + 2; // after the 'e'
  int exponent = 0;
  std::from_chars(exponent_text + (*exponent_text == '+' ? 1 : 0), printed.ptr, exponent);

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
