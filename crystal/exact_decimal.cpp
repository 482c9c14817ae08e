// Decimal to double in the way of Clinger's fast path and the Eisel-Lemire
// algorithm (as in the fast_float library): exact where the result is
// decided, and a refusal where it is not, so that callers fall back to
// std::from_chars and never see another rounding.
#include "crystal/exact_decimal.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvak::crystal {

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr int smallest_power = -64;
constexpr int largest_power = 64;

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

// Built when the library loads: too much work for a constant expression.
const auto power_table = [] {
  std::array<std::array<std::uint64_t, 2>, largest_power - smallest_power + 1> table{};
  for (int q = smallest_power; q <= largest_power; ++q)
    table[static_cast<std::size_t>(q - smallest_power)] = power_entry(q);
  return table;
}();

// Spot checks against the values fast_float publishes.
static_assert(power_entry(0)[0] == 0x8000000000000000u && power_entry(0)[1] == 0);
static_assert(power_entry(-1)[0] == 0xccccccccccccccccu &&
              power_entry(-1)[1] == 0xcccccccccccccccdu);
static_assert(power_entry(1)[0] == 0xa000000000000000u);

constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Eight digits at a time, as eight bytes in one word (little-endian).
std::uint64_t load_eight(const char *p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// 0x33 in every byte that holds a digit, something else in the others. The
// addition carries only out of bytes from 0xfa up, none of which is a digit,
// so the first byte that is no digit is always told right.
std::uint64_t digit_bytes(std::uint64_t word) {
  return (word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4);
}

std::uint64_t eight_digits_value(std::uint64_t word) {
  constexpr std::uint64_t mask = 0x000000FF000000FF;
  constexpr std::uint64_t mul1 = 0x000F424000000064; // 100 + (1000000 << 32)
  constexpr std::uint64_t mul2 = 0x0000271000000001; // 1 + (10000 << 32)
  word -= 0x3030303030303030;
  word = (word * 10) + (word >> 8);
  return (((word & mask) * mul1) + (((word >> 16) & mask) * mul2)) >> 32;
}

constexpr std::uint64_t powers_of_ten[] = {1,      10,      100,      1000,     10000,
                                           100000, 1000000, 10000000, 100000000};
constexpr std::uint64_t powers_of_ten_64[] = {1,
                                              10,
                                              100,
                                              1000,
                                              10000,
                                              100000,
                                              1000000,
                                              10000000,
                                              100000000,
                                              1000000000,
                                              10000000000,
                                              100000000000,
                                              1000000000000,
                                              10000000000000,
                                              100000000000000,
                                              1000000000000000,
                                              10000000000000000,
                                              100000000000000000,
                                              1000000000000000000,
                                              10000000000000000000u};

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

#if defined(__SSE2__)

// Bit i set where byte i of the 32 at `p` is a digit, and where it is a point.
struct ByteMasks {
  std::uint32_t digits;
  std::uint32_t points;
};

ByteMasks byte_masks(const char *p) {
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i point = _mm_set1_epi8('.');
  const auto digits = [&](__m128i bytes) {
    const __m128i value = _mm_sub_epi8(bytes, zero);
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(value, nine), value)));
  };
  const auto points = [&](__m128i bytes) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, point)));
  };
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
  return {digits(low) | (digits(high) << 16), points(low) | (points(high) << 16)};
}

#endif

// The value of the `count` digits at `p` (1 to 8), reading 8 bytes: the
// digits are shifted to the top and the bytes below filled with '0'.
std::uint64_t leading_digits_value(const char *p, int count) {
  const std::uint64_t word = load_eight(p) << (64 - 8 * count);
  return eight_digits_value(word | (0x3030303030303030 >> (8 * count - 8) >> 8));
}

// The value of the `count` digits at `p` (1 to 24, at most 19 of them
// significant), in up to three independent pieces; reads p[0, 8 * pieces).
std::uint64_t digits_value(const char *p, int count) {
  if (count <= 8)
    return leading_digits_value(p, count);
  if (count <= 16) {
    const int head = count - 8;
    return leading_digits_value(p, head) * 100000000 + eight_digits_value(load_eight(p + head));
  }
  const int head = count - 16;
  return leading_digits_value(p, head) * 10000000000000000 +
         eight_digits_value(load_eight(p + head)) * 100000000 +
         eight_digits_value(load_eight(p + head + 8));
}

struct Product {
  std::uint64_t high;
  std::uint64_t low;
};

Product multiply(std::uint64_t a, std::uint64_t b) {
  const uint128 product = static_cast<uint128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

// Inlined into the parser, which calls it for nearly every number.
[[gnu::always_inline]] inline bool to_double(std::uint64_t digits, int exponent, double &value) {
  constexpr int explicit_bits = 52;
  // Both operands exact, so the one rounding of the operation is the only one.
  if (digits <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
    const auto d = static_cast<double>(digits);
    value = exponent < 0 ? d / exact_powers_of_ten[-exponent] : d * exact_powers_of_ten[exponent];
    return true;
  }
  if (digits == 0 || exponent < smallest_power || exponent > largest_power)
    return false;
  const int leading_zeros = std::countl_zero(digits);
  const std::uint64_t w = digits << leading_zeros;
  const auto &entry = power_table[static_cast<std::size_t>(exponent - smallest_power)];
  Product product = multiply(w, entry[0]);
  constexpr std::uint64_t precision_mask = ~std::uint64_t{0} >> (explicit_bits + 3);
  if ((product.high & precision_mask) == precision_mask) {
    const Product second = multiply(w, entry[1]);
    product.low += second.high;
    if (second.high > product.low)
      ++product.high;
  }
  // The approximation may be one unit short where 5^q has no exact 128-bit
  // form; such products are left to the general parser.
  if (product.low == ~std::uint64_t{0} && (exponent < -27 || exponent > 55))
    return false;
  const int upper_bit = static_cast<int>(product.high >> 63);
  const int shift = upper_bit + 64 - explicit_bits - 3;
  std::uint64_t mantissa = product.high >> shift;
  int power2 = (((152170 + 65536) * exponent) >> 16) + 63 + upper_bit - leading_zeros + 1023;
  if (power2 <= 0)
    return false; // subnormal or zero
  // Exactly halfway between two doubles: round to even.
  if (product.low <= 1 && exponent >= -4 && exponent <= 23 && (mantissa & 3) == 1 &&
      (mantissa << shift) == product.high)
    mantissa &= ~std::uint64_t{1};
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << explicit_bits)) {
    mantissa = std::uint64_t{1} << explicit_bits;
    ++power2;
  }
  mantissa &= ~(std::uint64_t{1} << explicit_bits);
  if (power2 >= 0x7ff)
    return false; // overflow
  value = std::bit_cast<double>(mantissa | (static_cast<std::uint64_t>(power2) << explicit_bits));
  return true;
}

} // namespace

bool detail::decimal_to_double(std::uint64_t digits, int exponent, double &value) {
  return to_double(digits, exponent, value);
}

const char *parse_exact_decimal(const char *p, const char *end, double &value) {
  const bool negative = p != end && *p == '-';
  if (negative)
    ++p;
#if defined(__SSE2__)
  // The common form, up to 7 digits, a point and up to 19 more, without an
  // exponent, from one look at the next 32 bytes; the rest below.
  if (end - p >= 32) {
    const ByteMasks masks = byte_masks(p);
    const int integer_digits = std::countr_one(masks.digits);
    if (integer_digits >= 1 && integer_digits <= 7) {
      int after = integer_digits;
      int fraction_digits = 0;
      if ((masks.points >> integer_digits) & 1) {
        fraction_digits = std::countr_one(masks.digits >> (integer_digits + 1));
        after += 1 + fraction_digits;
      }
      const char next = p[after];
      if (fraction_digits <= 19 && next != 'e' && next != 'E' && next != 'd' && next != 'D') {
        const std::uint64_t integer = leading_digits_value(p, integer_digits);
        // Beyond 19 digits in all, only leading zeros keep the sum exact.
        if (integer_digits + fraction_digits <= 19 || integer == 0) {
          std::uint64_t digits = integer;
          if (fraction_digits > 0)
            digits = integer * powers_of_ten_64[fraction_digits] +
                     digits_value(p + integer_digits + 1, fraction_digits);
          double magnitude = 0.0;
          if (digits != 0 && !to_double(digits, -fraction_digits, magnitude))
            return nullptr;
          value = negative ? -magnitude : magnitude;
          return p + after;
        }
      }
    }
  }
#endif
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
