#include "c_binding/c_f_string.hpp"

#include <gtest/gtest.h>

#include <array>
#include <span>
#include <string>
#include <string_view>

using morvak::c_binding::c_f_string_chars;
using morvak::c_binding::c_f_string_ptr;
using morvak::c_binding::nul;

namespace {

// Runs both conversions into a text of length n that starts out filled with
// 'x', so that a position left unwritten shows up in the result.
std::string via_ptr(const char *c_string, std::size_t n) {
  std::string f(n, 'x');
  c_f_string_ptr(c_string, std::span<char>(f));
  return f;
}

std::string via_chars(std::string_view c_array, std::size_t n) {
  std::string f(n, 'x');
  c_f_string_chars(std::span<const char>(c_array.data(), c_array.size()), std::span<char>(f));
  return f;
}

struct Case {
  std::string_view c_string; // NUL-terminated in memory; may hold an earlier NUL
  std::size_t n;
  std::string_view expected;
};

class CFString : public testing::TestWithParam<Case> {};

TEST_P(CFString, PointerAndArrayFormsAgree) {
  const Case &c = GetParam();
  EXPECT_EQ(via_ptr(c.c_string.data(), c.n), c.expected);
  // The array includes the terminating NUL, as a C array literal would.
  EXPECT_EQ(via_chars({c.c_string.data(), c.c_string.size() + 1}, c.n), c.expected);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Conversions, CFString,
    testing::Values(Case{""sv, 4, "    "sv},         // empty string: all blanks
                    Case{"ab"sv, 5, "ab   "sv},      // shorter: padded
                    Case{"abcd"sv, 4, "abcd"sv},     // exactly n
                    Case{"abcdef"sv, 4, "abcd"sv},   // longer: cut at n
                    Case{"ab\0cd"sv, 6, "ab    "sv}, // stops at the first NUL
                    Case{"\0ab"sv, 3, "   "sv},      // NUL first: all blanks
                    Case{" a "sv, 4, " a  "sv},      // blanks are copied as they are
                    Case{"\xc3\xa9t\xc3\xa9"sv, 4, "\xc3\xa9t\xc3"sv}, // counts bytes
                    Case{"abc"sv, 0, ""sv}));

TEST(CFStringPtr, NullPointerGivesBlanks) { EXPECT_EQ(via_ptr(nullptr, 5), "     "); }

TEST(CFStringChars, StopsAtTheEndOfAnArrayWithoutNul) {
  const std::array<char, 3> unterminated{'a', 'b', 'c'};
  std::string f(5, 'x');
  c_f_string_chars(unterminated, std::span<char>(f));
  EXPECT_EQ(f, "abc  ");
}

TEST(CFString, FillsFixedText) {
  morvak::crystal::FixedText<4> text("zzzz");
  c_f_string_ptr("H", text);
  EXPECT_EQ(text.view(), "H   ");
  const char symbol[] = {'H', 'e', nul};
  c_f_string_chars(symbol, text);
  EXPECT_EQ(text.view(), "He  ");
}

} // namespace
