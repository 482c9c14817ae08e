#pragma once

// The parts of the exact decimal parser that the atom-line parser inlines:
// most numbers of a file take the plain path here, without a call.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvak::crystal::detail {

__extension__ typedef unsigned __int128 uint128;

inline constexpr int smallest_power = -64;
inline constexpr int largest_power = 64;

// The 128-bit approximations of 5^q for q from smallest_power on.
extern const std::array<std::array<std::uint64_t, 2>, largest_power - smallest_power + 1>
    power_table;

// Eight digits at a time, as eight bytes in one word (little-endian).
inline std::uint64_t load_eight(const char *p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// 0x33 in every byte that holds a digit, something else in the others. The
// addition carries only out of bytes from 0xfa up, none of which is a digit,
// so the first byte that is no digit is always told right.
inline std::uint64_t digit_bytes(std::uint64_t word) {
  return (word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4);
}

inline std::uint64_t eight_digits_value(std::uint64_t word) {
  constexpr std::uint64_t mask = 0x000000FF000000FF;
  constexpr std::uint64_t mul1 = 0x000F424000000064; // 100 + (1000000 << 32)
  constexpr std::uint64_t mul2 = 0x0000271000000001; // 1 + (10000 << 32)
  word -= 0x3030303030303030;
  word = (word * 10) + (word >> 8);
  return (((word & mask) * mul1) + (((word >> 16) & mask) * mul2)) >> 32;
}

inline constexpr std::uint64_t powers_of_ten[] = {1,      10,      100,      1000,     10000,
                                                  100000, 1000000, 10000000, 100000000};
inline constexpr std::uint64_t powers_of_ten_64[] = {1,
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

#if defined(__SSE2__)

// Bit i set where byte i of the 32 at `p` is a digit, and where it is a point.
struct ByteMasks {
  std::uint32_t digits;
  std::uint32_t points;
};

inline ByteMasks byte_masks(const char *p) {
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
inline std::uint64_t leading_digits_value(const char *p, int count) {
  const std::uint64_t word = load_eight(p) << (64 - 8 * count);
  return eight_digits_value(word | (0x3030303030303030 >> (8 * count - 8) >> 8));
}

// The value of the `count` digits at `p` (1 to 24, at most 19 of them
// significant), in up to three independent pieces; reads p[0, 8 * pieces).
inline std::uint64_t digits_value(const char *p, int count) {
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

inline Product multiply(std::uint64_t a, std::uint64_t b) {
  const uint128 product = static_cast<uint128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

// The significand `digits` (not zero) times 10^exponent, correctly rounded,
// when the result is a normal double that the 128-bit power table decides;
// false otherwise. Short significands take this path too: a shortcut through
// one exact division would branch on the digit count, which changes from one
// coordinate to the next (16 or 17 significant digits), and cost more in
// mispredictions than the division saves.
[[gnu::always_inline]] inline bool to_double(std::uint64_t digits, int exponent, double &value) {
  constexpr int explicit_bits = 52;
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

// The common form of a plain decimal: an optional '-', 1 to 7 digits, and a
// point with up to 19 more, without an exponent, read from one look at the
// next 32 bytes. Returns nullptr for anything else, and where the general
// parser would refuse the number too; the general parser reads every text
// this function takes to the same end and value.
[[gnu::always_inline]] inline const char *parse_plain_decimal(const char *p, const char *end,
                                                              double &value) {
#if defined(__SSE2__)
  // Signs come at random in coordinates: no branch on them.
  const bool negative = p != end && *p == '-';
  p += negative;
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
      // No exponent follows: the next byte is none of 'e', 'E', 'd', 'D'.
      const char next = static_cast<char>(p[after] | 0x20);
      if (fraction_digits <= 19 && next != 'e' && next != 'd') {
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
          value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) |
                                        (std::uint64_t{negative} << 63));
          return p + after;
        }
      }
    }
  }
#else
  (void)p;
  (void)end;
  (void)value;
#endif
  return nullptr;
}

} // namespace morvak::crystal::detail
