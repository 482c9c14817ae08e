#include "crystal/record_fields.hpp"
#include "crystal/xyz.hpp"
#include "temp_files.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace morvak::crystal;

namespace {

std::string real_field(double value) {
  char field[real_field_width];
  const char *end = put_real(field, value);
  EXPECT_EQ(end, field + real_field_width);
  return {field, real_field_width};
}

std::string count_field(std::int32_t count) {
  char field[count_field_width];
  put_count(field, count);
  return {field, count_field_width};
}

struct RealCase {
  double value;
  const char *field; // all 25 characters
};

class RealField : public testing::TestWithParam<RealCase> {};

TEST_P(RealField, HasExactText) { EXPECT_EQ(real_field(GetParam().value), GetParam().field); }

// Worked by hand: 17 significant digits; fixed-point for 0 and 0.1 <= |v| < 1e17,
// right-aligned in 20 characters and 5 blanks, else d.(16 digits)E+ddd in 25.
INSTANTIATE_TEST_SUITE_P(
    Writer, RealField,
    testing::Values(
        RealCase{0.0, "  0.0000000000000000     "}, RealCase{-0.0, " -0.0000000000000000     "},
        RealCase{1.0, "  1.0000000000000000     "}, RealCase{-1.5, " -1.5000000000000000     "},
        RealCase{0.1, " 0.10000000000000001     "}, RealCase{-0.1, "-0.10000000000000001     "},
        RealCase{5.43, "  5.4299999999999997     "}, RealCase{123.456, "  123.45600000000000     "},
        RealCase{2.0 / 3.0, " 0.66666666666666663     "},
        RealCase{1e16, "  10000000000000000.     "},
        RealCase{-99999999999999984.0, " -99999999999999984.     "},
        RealCase{1e17, "  1.0000000000000000E+017"}, RealCase{1e-3, "  1.0000000000000000E-003"},
        RealCase{-2.5e-5, " -2.5000000000000001E-005"},
        RealCase{1e300, "  1.0000000000000001E+300"}, RealCase{5e-324, "  4.9406564584124654E-324"},
        // The largest double below 0.1 stays below 0.1 after rounding.
        RealCase{0.09999999999999999167, "  9.9999999999999992E-002"},
        // These literals round to the doubles 0.1 and 1e17 before formatting.
        RealCase{0.099999999999999999, " 0.10000000000000001     "},
        RealCase{9.9999999999999999e16, "  1.0000000000000000E+017"},
        RealCase{std::numeric_limits<double>::infinity(), "                 Infinity"},
        RealCase{-std::numeric_limits<double>::infinity(), "                -Infinity"},
        RealCase{std::numeric_limits<double>::quiet_NaN(), "                      NaN"}));

// The 17 significant digits of a field against the C library's "%.16e",
// which rounds the exact binary value half to even.
TEST(RealField, DigitsMatchPrintfAcrossTheRangeAndOnTies) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> decade(-2.5, 18.5);
  std::vector<double> values = {100000000000000.125, 100000000000000.375, 0.5, 1e16};
  for (int i = 0; i < 100000; ++i) {
    values.push_back(std::pow(10.0, decade(random)));
    // Binary fractions with few bits: their 18th digit is often an exact 5.
    values.push_back(
        std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 40)));
    values.push_back(std::bit_cast<double>(random()));
  }
  for (const double value : values) {
    if (!std::isfinite(value) || value == 0.0)
      continue;
    char printed[40];
    std::snprintf(printed, sizeof printed, "%.16e", std::fabs(value));
    const std::string expected = std::string(1, printed[0]) + std::string(printed + 2, 16);
    const std::string field = real_field(value);
    std::string digits;
    for (const char c : field.substr(0, field.find('E')))
      if (c >= '0' && c <= '9')
        digits += c;
    digits.erase(0, digits.find_first_not_of('0')); // the zero of "0.1..."
    ASSERT_EQ(digits, expected) << std::hexfloat << value << ": " << field;
  }
}

TEST(CountField, RightAlignedInElevenCharacters) {
  EXPECT_EQ(count_field(0), "          0");
  EXPECT_EQ(count_field(2), "          2");
  EXPECT_EQ(count_field(-5), "         -5");
  EXPECT_EQ(count_field(INT_MAX), " 2147483647");
  EXPECT_EQ(count_field(INT_MIN), "-2147483648");
}

Crystal two_atoms() {
  Crystal c;
  c.cell = {{{5.43, 0, 0}, {0, 1e-3, 0}, {0, 0, -0.1}}};
  c.natom = 2;
  c.name = {{"H "}, {"Si"}};
  c.xyz = {{{0, 0.5, 1e17}, {-1, 2, 3}}};
  return c;
}

const std::string blank_join_cell =
    " cell:    5.4299999999999997          0.0000000000000000          0.0000000000000000     "
    "  |    0.0000000000000000          1.0000000000000000E-003     0.0000000000000000     "
    "  |    0.0000000000000000          0.0000000000000000        -0.10000000000000001     \n";

TEST(WriteXyz, WritesTheExactRecords) {
  TempDir dir;
  const std::string file = dir.path("out.xyz");
  write_xyz(two_atoms(), file);
  EXPECT_EQ(read_file(file), "           2\n" + blank_join_cell +
                                 " H    0.0000000000000000       0.50000000000000000     "
                                 "   1.0000000000000000E+017\n"
                                 " Si  -1.0000000000000000        2.0000000000000000     "
                                 "   3.0000000000000000     \n");
}

TEST(WriteXyz, NoAtomsGivesCountAndCellOnly) {
  TempDir dir;
  Crystal c = two_atoms();
  c.natom = 0;
  c.name->clear();
  c.xyz->clear();
  const std::string file = dir.path("empty.xyz");
  write_xyz(c, file + "   "); // trailing blanks are not part of the name
  EXPECT_EQ(read_file(file), "           0\n" + blank_join_cell);
}

TEST(WriteXyz, ReplacesContentAndKeepsPermissions) {
  TempDir dir;
  const std::string file = dir.write("old.xyz", std::string(100000, 'x'));
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  write_xyz(two_atoms(), file);
  EXPECT_EQ(read_file(file).substr(0, 13), "           2\n");
  struct stat info{};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 1);
}

struct BadRecord {
  const char *what;
  void (*spoil)(Crystal &);
};

class WriteInvalidRecord : public testing::TestWithParam<BadRecord> {};

TEST_P(WriteInvalidRecord, ThrowsAndLeavesTheOldFileAlone) {
  TempDir dir;
  const std::string file = dir.write("keep.xyz", "old content\n");
  Crystal c = two_atoms();
  GetParam().spoil(c);
  EXPECT_THROW(write_xyz(c, file), std::invalid_argument);
  EXPECT_EQ(read_file(file), "old content\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, WriteInvalidRecord,
    testing::Values(
        BadRecord{"no names", [](Crystal &c) { c.name.reset(); }},
        BadRecord{"no positions", [](Crystal &c) { c.xyz.reset(); }},
        BadRecord{"short names", [](Crystal &c) { c.name->pop_back(); }},
        BadRecord{"short positions", [](Crystal &c) { c.xyz->pop_back(); }},
        BadRecord{"count too large", [](Crystal &c) { c.natom = INT_MAX; }},
        BadRecord{"nan coordinate",
                  [](Crystal &c) { (*c.xyz)[1][2] = std::numeric_limits<double>::quiet_NaN(); }},
        BadRecord{"infinite cell",
                  [](Crystal &c) { c.cell[1][0] = -std::numeric_limits<double>::infinity(); }}),
    [](const auto &info) {
      std::string name = info.param.what;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

TEST(WriteXyz, NonFiniteValueIsNamedByAtomOrCellVectorAndComponent) {
  TempDir dir;
  Crystal c = two_atoms();
  (*c.xyz)[1][2] = std::numeric_limits<double>::quiet_NaN();
  try {
    write_xyz(c, dir.path("out.xyz"));
    FAIL() << "no exception";
  } catch (const std::invalid_argument &error) {
    EXPECT_EQ(std::string(error.what()),
              "write_xyz: component z of atom 2 is nan, not a finite number");
  }
  c = two_atoms();
  c.cell[2][0] = std::numeric_limits<double>::infinity();
  try {
    write_xyz(c, dir.path("out.xyz"));
    FAIL() << "no exception";
  } catch (const std::invalid_argument &error) {
    EXPECT_EQ(std::string(error.what()),
              "write_xyz: component x of cell vector 3 is inf, not a finite number");
  }
}

TEST(WriteXyz, UnwritableTargetIsAFileErrorAndLeavesNoTemporary) {
  TempDir dir;
  std::filesystem::create_directory(dir.path("sub"));
  struct Target {
    std::string path;
    int error_number;
  };
  for (const Target &target :
       {Target{dir.path("missing/out.xyz"), ENOENT}, Target{dir.path("sub"), EISDIR}}) {
    try {
      write_xyz(two_atoms(), target.path);
      ADD_FAILURE() << "no exception for " << target.path;
    } catch (const FileError &error) {
      EXPECT_EQ(error.error_number(), target.error_number) << error.what();
      EXPECT_EQ(error.filename(), target.path);
      EXPECT_NE(std::string(error.what()).find(target.path), std::string::npos);
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path("sub")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 1);
}

} // namespace
