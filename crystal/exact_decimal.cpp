// Decimal to double in the way of the Eisel-Lemire algorithm (as in the
// fast_float library): exact where the result is
// decided, and a refusal where it is not, so that callers fall back to
// std::from_chars and never see another rounding.
#include "crystal/exact_decimal.hpp"

#include "crystal/decimal_kernels.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace morvak::crystal {

namespace {

using detail::digit_bytes;
using detail::eight_digits_value;
using detail::largest_power;
using detail::load_eight;
using detail::powers_of_ten;
using detail::smallest_power;
using detail::to_double;
using detail::uint128;

// A fixed-width unsigned integer for building the power table at compile time.
struct Wide {
  static constexpr std::size_t words = 6;
  std::array<std::uint64_t, words> w{}; // least significant word first

  constexpr int bit_length() const {
    for (std::size_t i = words; i-- > 0;)
      if (w[i] != 0)
        return static_cast<int>(i * 64) + std::bit_width(w[i]);
    return 0;
  }
  constexpr bool bit(int i) const { return (w[static_cast<std::size_t>(i) / 64] >> (i % 64)) & 1; }
  constexpr void times(std::uint64_t factor) {
    uint128 carry = 0;
    for (auto &word : w) {
      const uint128 product = static_cast<uint128>(word) * factor + carry;
      word = static_cast<std::uint64_t>(product);
      carry = product >> 64;
    }
  }
  constexpr void add_one() {
    for (auto &word : w)
      if (++word != 0)
        break;
  }
  constexpr void shift_left_one(bool low_bit) {
    for (std::size_t i = words; i-- > 1;)
      w[i] = (w[i] << 1) | (w[i - 1] >> 63);
    w[0] = (w[0] << 1) | static_cast<std::uint64_t>(low_bit);
  }
  constexpr bool less_than(const Wide &other) const {
    for (std::size_t i = words; i-- > 0;)
      if (w[i] != other.w[i])
        return w[i] < other.w[i];
    return false;
  }
  constexpr void subtract(const Wide &other) {
    bool borrow = false;
    for (std::size_t i = 0; i < words; ++i) {
      const std::uint64_t before = w[i];
      w[i] = before - other.w[i] - static_cast<std::uint64_t>(borrow);
      borrow = before < other.w[i] || (borrow && before == other.w[i]);
    }
  }
  // The 128 bits from bit `top` - 127 to bit `top`, as {high word, low word}.
  constexpr std::array<std::uint64_t, 2> top_128(int top) const {
    std::array<std::uint64_t, 2> out{};
    for (int i = 0; i < 128; ++i) {
      const int source = top - 127 + i;
      if (source >= 0 && bit(source))
        out[i / 64 == 1 ? 0 : 1] |= std::uint64_t{1} << (i % 64);
    }
    return out;
  }
};

constexpr Wide power_of_five(int n) {
  Wide p;
  p.w[0] = 1;
  for (int i = 0; i < n; ++i)
    p.times(5);
  return p;
}

// The 128-bit approximation of 5^q that the Eisel-Lemire algorithm expects:
// for q >= 0 the leading 128 bits of 5^q; for q < 0 the leading 128 bits of
// floor(2^b / 5^-q) + 1, with b chosen as in fast_float.
constexpr std::array<std::uint64_t, 2> power_entry(int q) {
  if (q >= 0) {
    const Wide p = power_of_five(q);
    return p.top_128(p.bit_length() - 1);
  }
  const Wide divisor = power_of_five(-q);
  const int z = divisor.bit_length(); // 2^z > 5^-q, which is no power of two
  const int b = q >= -27 ? z + 127 : 2 * z + 128;
  // Long division of 2^b by 5^-q, starting where the quotient's first bit is.
  Wide remainder;
  remainder.w[static_cast<std::size_t>(z) / 64] = std::uint64_t{1} << (z % 64);
  Wide quotient;
  for (int i = b - z; i >= 0; --i) {
    const bool one = !remainder.less_than(divisor);
    if (one)
      remainder.subtract(divisor);
    quotient.shift_left_one(one);
    remainder.shift_left_one(false);
  }
  quotient.add_one();
  return quotient.top_128(quotient.bit_length() - 1);
}

} // namespace

// Built when the library loads: too much work for a constant expression.
const std::array<std::array<std::uint64_t, 2>, largest_power - smallest_power + 1>
    detail::power_table = [] {
      std::array<std::array<std::uint64_t, 2>, largest_power - smallest_power + 1> table{};
      for (int q = smallest_power; q <= largest_power; ++q)
        table[static_cast<std::size_t>(q - smallest_power)] = power_entry(q);
      return table;
    }();

namespace {

// Spot checks against the values fast_float publishes.
static_assert(power_entry(0)[0] == 0x8000000000000000u && power_entry(0)[1] == 0);
static_assert(power_entry(-1)[0] == 0xccccccccccccccccu &&
              power_entry(-1)[1] == 0xcccccccccccccccdu);
static_assert(power_entry(1)[0] == 0xa000000000000000u);

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends the run of digits at `p` to `digits`, wrapping around on overflow,
// and returns its end. Eight bytes are looked at together while eight remain.
[[gnu::always_inline]] inline const char *take_digits(const char *p, const char *end,
                                                      std::uint64_t &digits) {
  std::uint64_t value = digits;
  while (end - p >= 8) {
    const std::uint64_t word = load_eight(p);
    const std::uint64_t not_digits = digit_bytes(word) ^ 0x3333333333333333;
    if (not_digits == 0) {
      value = value * 100000000 + eight_digits_value(word);
      p += 8;
      continue;
    }
    // The first `count` bytes are digits: shift them to the top and fill
    // the bytes below with '0', which reads as the same number.
    const int count = std::countr_zero(not_digits) / 8;
    if (count > 0) {
      const std::uint64_t padded = (word << (64 - 8 * count)) | (0x3030303030303030 >> (8 * count));
      value = value * powers_of_ten[count] + eight_digits_value(padded);
      p += count;
    }
    digits = value;
    return p;
  }
  for (; p != end && is_digit(*p); ++p)
    value = value * 10 + static_cast<unsigned>(*p - '0');
  digits = value;
  return p;
}

} // namespace

const char *parse_exact_decimal(const char *p, const char *end, double &value) {
  if (const char *stop = detail::parse_plain_decimal(p, end, value))
    return stop;
  const bool negative = p != end && *p == '-';
  if (negative)
    ++p;
  // All digits go into `digits`; leading zeros add nothing to it, and more
  // than 19 significant digits are refused below, so it cannot overflow
  // unnoticed.
  std::uint64_t digits = 0;
  const char *const first_digit = p;
  p = take_digits(p, end, digits);
  const char *integer_end = p;
  int exponent = 0;
  if (p != end && *p == '.') {
    const char *const fraction = p + 1;
    p = take_digits(fraction, end, digits);
    exponent = -static_cast<int>(p - fraction);
  }
  std::ptrdiff_t digit_count = (integer_end - first_digit) - exponent;
  if (digit_count == 0)
    return nullptr;
  if (p != end && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-'))
      exponent_negative = *p++ == '-';
    if (p == end || !is_digit(*p))
      return nullptr;
    int written = 0;
    for (; p != end && is_digit(*p); ++p)
      if (written < 100000)
        written = written * 10 + (*p - '0');
    exponent += exponent_negative ? -written : written;
  }
  if (digit_count > 19) {
    for (const char *q = first_digit; q != end && (*q == '0' || *q == '.'); ++q)
      digit_count -= *q == '0';
    if (digit_count > 19)
      return nullptr;
  }
  double magnitude = 0.0;
  if (digits != 0 && !to_double(digits, exponent, magnitude))
    return nullptr;
  value = negative ? -magnitude : magnitude;
  return p;
}

} // namespace morvak::crystal
