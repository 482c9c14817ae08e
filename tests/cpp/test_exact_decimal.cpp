#include "crystal/exact_decimal.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

using morvak::crystal::parse_exact_decimal;

namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// A decimal number in one of the forms files hold, from a random double or
// from random digits; halfway cases between two doubles come from integers
// just above 2^53 and from their scaled copies.
std::string random_number(std::mt19937_64 &random) {
  char text[96];
  const auto real = std::bit_cast<double>(random());
  const int digits = 1 + static_cast<int>(random() % 19);
  switch (random() % 6) {
  case 0:
    std::snprintf(text, sizeof text, "%.17g", std::isfinite(real) ? real : 1.5);
    break;
  case 1:
    std::snprintf(
        text, sizeof text, "%.*g", digits,
        std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 120) - 90));
    break;
  case 2:
    std::snprintf(text, sizeof text, "%llue%d",
                  static_cast<unsigned long long>(random() >> (random() % 64)),
                  static_cast<int>(random() % 100) - 60);
    break;
  case 3:
    std::snprintf(text, sizeof text, "%llu%s",
                  static_cast<unsigned long long>((random() >> (random() % 11)) | (1ull << 53)),
                  random() % 2 ? "" : "0e-1");
    break;
  case 4: {
    std::string number = std::to_string(random() % 10000000000000000000ull);
    const std::size_t point = random() % 24;
    number = point < number.size() ? number.insert(number.size() - point, ".")
                                   : "0." + std::string(point - number.size(), '0') + number;
    std::snprintf(text, sizeof text, "%s%s", random() % 2 ? "-" : "", number.c_str());
    break;
  }
  default:
    std::snprintf(text, sizeof text, "%.*e", digits - 1,
                  (random() % 2 ? -1 : 1) * std::ldexp(static_cast<double>(random() >> 11),
                                                       static_cast<int>(random() % 60) - 70));
  }
  return text;
}

// Every number the exact parser takes must read as std::from_chars reads
// it, bit for bit, whatever follows it; and it must take most of them.
TEST(ExactDecimal, AgreesWithFromCharsBitForBit) {
  std::mt19937_64 random(11);
  // Short and long tails: numbers with 32 bytes or more to the end of the
  // text are read from one look at those bytes, the others byte by byte.
  const char *const after[] = {"",
                               " ",
                               "\n",
                               ",1",
                               " 2.5 3.5\n14 1 2 3\n",
                               "\t",
                               "/",
                               " 0.0052240419886135352 -0.0063153553773403603\n",
                               "\n14 1 2 3\n14 12345678901234567890123456789\n",
                               " 1234567890123456789012345678901234567890",
                               "/.5 .......................................",
                               ",e5 and more text after the exponent....."};
  int taken = 0;
  constexpr int trials = 300000;
  for (int trial = 0; trial < trials; ++trial) {
    const std::string number = random_number(random);
    const std::string text = number + after[random() % std::size(after)];
    double exact = -1.0;
    const char *stop = parse_exact_decimal(text.data(), text.data() + text.size(), exact);
    if (stop == nullptr)
      continue;
    ++taken;
    double expected = -2.0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), expected);
    ASSERT_EQ(stop, text.data() + number.size()) << text;
    ASSERT_TRUE(error == std::errc{} && end == number.data() + number.size()) << number;
    ASSERT_EQ(bits(exact), bits(expected)) << number;
  }
  EXPECT_GT(taken, trials * 8 / 10);
}

struct Case {
  const char *text;
  bool taken;
  double value;
};

// The struct has padding bytes; GoogleTest's default printer would dump them.
void PrintTo(const Case &c, std::ostream *os) { *os << '"' << c.text << '"'; }

class ExactDecimalCases : public testing::TestWithParam<Case> {};

TEST_P(ExactDecimalCases, TakesOrRefuses) {
  const std::string text = GetParam().text;
  double value = 0.0;
  const char *stop = parse_exact_decimal(text.data(), text.data() + text.size(), value);
  ASSERT_EQ(stop != nullptr, GetParam().taken) << text;
  if (GetParam().taken) {
    EXPECT_EQ(bits(value), bits(GetParam().value)) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ExactDecimalCases,
    testing::Values(Case{"9007199254740993", true, 9007199254740992.0}, // halfway: to even
                    Case{"9007199254740995", true, 9007199254740996.0}, Case{"0.1", true, 0.1},
                    Case{"-0", true, -0.0}, Case{"0e999999", true, 0.0},
                    Case{"1.5D3", true, 1500.0}, Case{"1.5d-3", true, 0.0015},
                    Case{".5", true, 0.5}, Case{"5.", true, 5.0}, Case{"1e23", true, 1e23},
                    Case{"0000000000000000000000001.25", true, 1.25},
                    Case{"1234567890123456789", true, 1234567890123456789.0},
                    Case{"12345678901234567890", false, 0}, // 20 significant digits
                    Case{"+1", false, 0}, Case{"-", false, 0}, Case{".", false, 0},
                    Case{"1e", false, 0}, Case{"1e+", false, 0}, Case{"e5", false, 0},
                    Case{"inf", false, 0}, Case{"nan", false, 0}, Case{"1e400", false, 0},
                    Case{"4.9e-324", false, 0}, Case{"2.2250738585072014e-308", false, 0}));

} // namespace
