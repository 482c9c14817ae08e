#include "crystal/helper_thread.hpp"
#include "crystal/line_source.hpp"
#include "crystal/xyz.hpp"
#include "temp_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <pthread.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace morvak::crystal;

namespace {

const std::string cubic_cell = "a 5.0 0 0\nb 0 5.0 0\nc 0 0 5.0\n";
const std::array<Vec3, 3> cubic = {{{5, 0, 0}, {0, 5, 0}, {0, 0, 5}}};

struct Good {
  const char *what;
  std::string content;
  std::int32_t natom;
  std::array<Vec3, 3> cell;
  std::vector<std::string> names;
  std::vector<Vec3> xyz;
};

// GoogleTest would otherwise print the raw bytes, padding included.
void PrintTo(const Good &good, std::ostream *os) { *os << good.what; }

class ReadGood : public testing::TestWithParam<Good> {};

TEST_P(ReadGood, GivesTheRecord) {
  TempDir dir;
  const Good &good = GetParam();
  Crystal c;
  read_xyz(c, dir.write("in.xyz", good.content));
  EXPECT_EQ(c.natom, good.natom);
  EXPECT_EQ(c.cell, good.cell);
  ASSERT_TRUE(c.name && c.xyz);
  std::vector<std::string> names;
  for (const Symbol &s : *c.name)
    names.emplace_back(s.view());
  EXPECT_EQ(names, good.names);
  EXPECT_EQ(*c.xyz, good.xyz);
}

std::string with_crlf(std::string text) {
  for (std::size_t i = 0; (i = text.find('\n', i)) != std::string::npos; i += 2)
    text.insert(i, 1, '\r');
  return text;
}

const std::string silicon = "2\n" + cubic_cell + "14 0 0 0\n14 1.25 1.25 1.25\n";

INSTANTIATE_TEST_SUITE_P(
    Reader, ReadGood,
    testing::Values(
        Good{"one_vector_per_line",
             silicon,
             2,
             cubic,
             {"Si", "Si"},
             {{0, 0, 0}, {1.25, 1.25, 1.25}}},
        Good{"crlf_line_ends",
             with_crlf(silicon),
             2,
             cubic,
             {"Si", "Si"},
             {{0, 0, 0}, {1.25, 1.25, 1.25}}},
        Good{"cell_on_one_line_spread_atoms_blank_lines_no_final_newline",
             "\n1 rest of line ignored\n\n a 5 0 0 b 0 5 0 c 0 0 5\n\n1\t0.5,\n0.25\n\n 0.125",
             1,
             cubic,
             {"H "},
             {{0.5, 0.25, 0.125}}},
        Good{"quoted_labels_and_commas",
             "1\n'cell vector: a' , 5,0,0\n\"b, / c\" 0 5 0\n'it''s' 0,0,5\n8,1,2,3\n",
             1,
             cubic,
             {"O "},
             {{1, 2, 3}}},
        Good{"real_forms",
             "1\n" + cubic_cell + "6 1.5D0 -2d-1 +3E+1 trailing items\n",
             1,
             cubic,
             {"C "},
             {{1.5, -0.2, 30}}},
        Good{"more_real_forms",
             "1\n" + cubic_cell + "6 .5 5. 1e-400\n",
             1,
             cubic,
             {"C "},
             {{0.5, 5, 0}}},
        Good{"repeat_counts",
             "2\nv 3*5.0 w 2*0.0 1.0 x 2*0 3*7\n1 3*2.5\n2*2 2*1 9\n",
             2,
             {{{5, 5, 5}, {0, 0, 1}, {0, 0, 7}}},
             {"H ", "He"},
             {{2.5, 2.5, 2.5}, {2, 1, 1}}},
        Good{"empty_items_leave_values",
             "2\na 2* 5 b,,5, 0 c 0 0 ,,\n1,,,3.0\n1 , 3*\n",
             2,
             {{{0, 0, 5}, {0, 5, 0}, {0, 0, 0}}},
             {"H ", "H "},
             {{0, 0, 3}, {0, 0, 0}}},
        Good{"slash_ends_each_read",
             "2 / 7\na 1 2 3 b 4 / 5 6\n9 1.0 / 8 8\n9 1 2 3\n",
             2,
             {{{1, 2, 3}, {4, 0, 0}, {0, 0, 0}}},
             {"F ", "F "},
             {{1, 0, 0}, {1, 2, 3}}},
        Good{"element_symbols",
             "3\n" + cubic_cell + "Si 1 2 3\nH 4 5 6\n'He' 7 8 9\n",
             3,
             cubic,
             {"Si", "H ", "He"},
             {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}},
        Good{"element_read_item_by_item_between_plain_records",
             "4\n" + cubic_cell + "Si 1 2 3\n'O' 4 5 6\nSi 7 8 9\n14 1 1 1\n",
             4,
             cubic,
             {"Si", "O ", "Si", "Si"},
             {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {1, 1, 1}}},
        Good{"count_smaller_than_atom_lines",
             "1\n" + cubic_cell + "1 0 0 0\nnot read\n",
             1,
             cubic,
             {"H "},
             {{0, 0, 0}}},
        Good{"zero_count", "0\n" + cubic_cell, 0, cubic, {}, {}}),
    [](const auto &info) { return std::string(info.param.what); });

struct Bad {
  const char *what;
  std::string content;
  std::string message; // after "<file>:"
};

void PrintTo(const Bad &bad, std::ostream *os) { *os << bad.what; }

class ReadBad : public testing::TestWithParam<Bad> {};

TEST_P(ReadBad, ThrowsFormatErrorNamingFileLineAndItem) {
  TempDir dir;
  const std::string file = dir.write("bad.xyz", GetParam().content);
  Crystal c;
  c.natom = 42;
  c.cell[1][1] = 7;
  try {
    read_xyz(c, file);
    FAIL() << "no exception";
  } catch (const FormatError &error) {
    EXPECT_EQ(error.what(), file + ":" + GetParam().message);
  }
  // A failed read leaves the record as it was.
  EXPECT_EQ(c.natom, 42);
  EXPECT_EQ(c.cell[1][1], 7);
  EXPECT_FALSE(c.name || c.xyz);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ReadBad,
    testing::Values(
        Bad{"empty_file", "", "1: expected the atom count, found the end of the file"},
        Bad{"count_not_integer", "abc\n", "1: expected an integer for the atom count, found 'abc'"},
        Bad{"count_with_point", "\n2.0\n",
            "2: expected an integer for the atom count, found '2.0'"},
        Bad{"count_quoted", "'2'\n", "1: expected an integer for the atom count, found '2'"},
        Bad{"count_negative", "-3\n" + cubic_cell + "junk\n",
            "1: expected a non-negative integer for the atom count, found '-3'"},
        Bad{"extended_xyz_header",
            "2\nLattice=\"5 0 0 0 5 0 0 0 5\" Properties=species:S:1:pos:R:3 pbc=\"T T T\"\n"
            "Si 0 0 0\nSi 1 1 1\n",
            "2: expected a labelled cell vector, found 'Lattice=\"5 0 0 0 5 0 0 0 5\" "
            "Properties=s...', which looks like an extended-XYZ header rather than a labelled "
            "cell vector; common and extended XYZ files are read by morvak.read"},
        Bad{"common_xyz_blank_comment", "5\n\nSi 0 0 0\nSi 0 0 1\nSi 0 1 0\nSi 1 0 0\nSi 1 1 1\n",
            "2: expected a labelled cell vector, found a blank line, which looks like the "
            "comment line of an XYZ file rather than a labelled cell vector; common and "
            "extended XYZ files are read by morvak.read"},
        Bad{"common_xyz_comment", "2\nsilicon crystal\nSi 0 0 0\nSi 1 1 1\n",
            "2: expected a labelled cell vector, found 'silicon crystal', which looks like the "
            "comment line of an XYZ file rather than a labelled cell vector; common and "
            "extended XYZ files are read by morvak.read"},
        Bad{"count_too_big", "2147483648\n",
            "1: expected an integer for the atom count, found '2147483648'"},
        Bad{"cell_component", "1\na 1 0 0\nb 0 abc 0\n",
            "3: expected a real number for cell vector 2, found 'abc'"},
        Bad{"cell_overflow", "1\na 1e400 0 0\n",
            "2: expected a real number for cell vector 1, found '1e400'"},
        Bad{"cell_nan", "1\na 1 nan 0\n",
            "2: expected a real number for cell vector 1, found 'nan'"},
        Bad{"coordinate_infinity", "1\n" + cubic_cell + "1 0 0 -Infinity\n",
            "5: expected a real number for coordinate z of atom 1, found '-Infinity'"},
        Bad{"coordinate_inf", "1\n" + cubic_cell + "1 INF 0 0\n",
            "5: expected a real number for coordinate x of atom 1, found 'INF'"},
        Bad{"cell_cut_short", "1\na 1 0 0\nb 0 1 0\nc 0 0\n",
            "5: expected a real number for cell vector 3, found the end of the file"},
        Bad{"cell_without_label", "0\na 1 0 0\nb 0 1 0\n",
            "4: expected a label for cell vector 3, found the end of the file"},
        Bad{"atomic_number_with_point", "1\n" + cubic_cell + "14.0 0 0 0\n",
            "5: expected an atomic number or element symbol for atom 1, found '14.0'"},
        Bad{"atomic_number_with_exponent", "2\n" + cubic_cell + "1 0 0 0\n1e1 0 0 0\n",
            "6: expected an atomic number or element symbol for atom 2, found '1e1'"},
        Bad{"atomic_number_too_big", "1\n" + cubic_cell + "119 0 0 0\n",
            "5: expected an atomic number from 1 to 118 for atom 1, found '119'"},
        Bad{"atomic_number_zero", "1\n" + cubic_cell + "0 0 0 0\n",
            "5: expected an atomic number from 1 to 118 for atom 1, found '0'"},
        Bad{"atomic_number_negative", "1\n" + cubic_cell + "-14 0 0 0\n",
            "5: expected an atomic number from 1 to 118 for atom 1, found '-14'"},
        Bad{"symbol_wrong_case", "1\n" + cubic_cell + "si 0 0 0\n",
            "5: expected an atomic number or element symbol for atom 1, found 'si'"},
        Bad{"empty_atomic_number", "1\n" + cubic_cell + ", 1 2 3\n",
            "5: expected an atomic number or element symbol for atom 1, found an empty item"},
        Bad{"slash_for_atomic_number", "1\n" + cubic_cell + "/ 1 2 3\n",
            "5: expected an atomic number or element symbol for atom 1, found '/'"},
        Bad{"coordinate", "1\n" + cubic_cell + "1 0 x 0\n",
            "5: expected a real number for coordinate y of atom 1, found 'x'"},
        Bad{"quoted_coordinate", "1\n" + cubic_cell + "1 0 0 '0'\n",
            "5: expected a real number for coordinate z of atom 1, found '0'"},
        Bad{"too_few_atoms", "3\n" + cubic_cell + "1 0 0 0\n\n1 0 0\n",
            "8: file ends after 1 of 3 atoms"},
        Bad{"huge_count", "2147483647\n" + cubic_cell + "1 0 0 0\n1 0 0 0\n1 0 0 0\n",
            "8: file ends after 3 of 2147483647 atoms"},
        Bad{"zero_repeat", "0*1\n", "1: expected a repeat count of at least 1, found '0*'"},
        Bad{"unclosed_quote", "0\n'a 1 0 0\n",
            "2: expected a closing ' on the same line, found the end of the line"},
        Bad{"text_after_quote", "0\n\"a\"b 1 0 0\n",
            "2: expected a separator after the quoted text, found 'b 1 0 0'"},
        Bad{"long_item_cut_short", std::string(100, 'x') + "\n",
            "1: expected an integer for the atom count, found '" + std::string(40, 'x') + "...'"},
        Bad{"unprintable_bytes_escaped", std::string("\x01\xff\n", 3),
            "1: expected an integer for the atom count, found '\\x01\\xff'"},
        Bad{"line_too_long", "1" + std::string(LineSource::max_line_length, ' ') + "\n",
            "1: expected a line of at most 1048576 bytes, found a longer line"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(ReadXyz, FilledRecordIsALogicError) {
  TempDir dir;
  Crystal c;
  c.xyz.emplace();
  try {
    read_xyz(c, dir.write("in.xyz", silicon));
    FAIL() << "no exception";
  } catch (const std::logic_error &error) {
    EXPECT_STREQ(error.what(), "Attempting to allocate already allocated variable 'cryst'");
  }
  EXPECT_TRUE(c.xyz && c.xyz->empty());
}

TEST(ReadXyz, UnopenableFilesAreFileErrors) {
  TempDir dir;
  struct Case {
    std::string path;
    int error_number;
  };
  for (const Case &bad : {Case{dir.path("missing.xyz"), ENOENT}, Case{dir.path(""), EISDIR},
                          Case{"", ENOENT}, Case{std::string("a\0b", 3), EINVAL}}) {
    try {
      Crystal c;
      read_xyz(c, bad.path);
      ADD_FAILURE() << "no exception for " << bad.path;
    } catch (const FileError &error) {
      EXPECT_EQ(error.error_number(), bad.error_number) << error.what();
      EXPECT_EQ(error.filename(), bad.path);
      if (bad.error_number != EINVAL) {
        EXPECT_NE(std::string(error.what()).find("'" + bad.path + "'"), std::string::npos);
      }
    }
  }
}

TEST(ReadXyz, TrailingBlanksOfTheNameAreIgnored) {
  TempDir dir;
  Crystal c;
  read_xyz(c, dir.write("in.xyz", silicon) + "     ");
  EXPECT_EQ(c.natom, 2);
}

TEST(ReadXyz, EndlessDevicesFailQuickly) {
  for (const char *device : {"/dev/zero", "/dev/urandom"}) {
    if (!std::filesystem::exists(device))
      continue;
    Crystal c;
    EXPECT_THROW(read_xyz(c, device), FormatError) << device;
  }
}

// Opening a FIFO must not wait for a writer: with none, it reads as empty.
TEST(ReadXyz, FifoWithoutWriterReadsAsEmpty) {
  TempDir dir;
  const std::string fifo = dir.path("pipe.xyz");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Crystal c;
  try {
    read_xyz(c, fifo);
    FAIL() << "no exception";
  } catch (const FormatError &error) {
    EXPECT_EQ(error.what(), fifo + ":1: expected the atom count, found the end of the file");
  }
}

// Records with every element and awkward values survive write then read
// bit for bit, and writing the read record again gives the same text.
TEST(RoundTrip, WriteThenReadGivesTheSameRecord) {
  TempDir dir;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(-1e3, 1e3);
  Element_map table;
  table.initialize();
  Crystal c;
  c.natom = 400;
  c.name.emplace();
  c.xyz.emplace();
  const double awkward[] = {0.0,    -0.0,  0.1,      1e-3,      1e17,        9.99e16,
                            5e-324, 1e300, -1.7e308, 0.0999999, 123456789.0, 1.0 / 3};
  for (int i = 0; i < c.natom; ++i) {
    c.name->push_back(table.get_element_symbol(i % Element_map::size + 1));
    Vec3 r{uniform(random), std::ldexp(uniform(random), i % 200 - 100), awkward[i % 12]};
    c.xyz->push_back(r);
  }
  c.cell = {{{uniform(random), 0.1, -0.0}, {1e-3, 5.43, 1e17}, {-2.5e-5, 7, 1e-300}}};
  const std::string first = dir.path("first.xyz");
  write_xyz(c, first);
  Crystal back;
  read_xyz(back, first);
  EXPECT_EQ(back.natom, c.natom);
  EXPECT_EQ(*back.name, *c.name);
  for (int i = 0; i < c.natom; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(std::signbit((*back.xyz)[i][j]), std::signbit((*c.xyz)[i][j]));
      EXPECT_EQ((*back.xyz)[i][j], (*c.xyz)[i][j]) << i << " " << j;
    }
  EXPECT_EQ(back.cell, c.cell);
  const std::string second = dir.path("second.xyz");
  write_xyz(back, second);
  EXPECT_EQ(read_file(second), read_file(first));
}

// Inf and NaN never reach a file: the writer refuses them and the reader
// would refuse their spellings.
TEST(RoundTrip, NonFiniteValuesAreNeverWritten) {
  TempDir dir;
  Crystal c;
  c.natom = 1;
  c.name = {{"Og"}};
  for (const double value :
       {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    c.xyz = {{{0, value, 0}}};
    EXPECT_THROW(write_xyz(c, dir.path("special.xyz")), std::invalid_argument);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.root()));
}

// Eight threads reading and writing their own files at once get the same
// records as one thread alone: the reader and writer share no state.
TEST(Concurrency, EightThreadsReadAndWriteIndependently) {
  TempDir dir;
  constexpr int threads = 8;
  std::vector<std::string> inputs;
  std::vector<Crystal> expected(threads);
  for (int t = 0; t < threads; ++t) {
    std::string text = std::to_string(3000 + t) + "\n" + cubic_cell;
    for (int i = 0; i < 3000 + t; ++i)
      text += std::to_string(i % 118 + 1) + " " + std::to_string(t) + ".5 " + std::to_string(i) +
              "e-3 " + std::to_string(-i) + "\n";
    inputs.push_back(dir.write("in" + std::to_string(t) + ".xyz", text));
    read_xyz(expected[t], inputs[t]);
  }
  std::vector<Crystal> got(threads);
  std::vector<std::string> errors(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      try {
        for (int round = 0; round < 5; ++round) {
          Crystal c;
          read_xyz(c, inputs[t]);
          const std::string out = dir.path("out" + std::to_string(t) + ".xyz");
          write_xyz(c, out);
          got[t] = Crystal{};
          read_xyz(got[t], out);
        }
      } catch (const std::exception &error) {
        errors[t] = error.what();
      }
    });
  for (auto &worker : workers)
    worker.join();
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(errors[t], "");
    EXPECT_EQ(got[t].natom, expected[t].natom);
    EXPECT_EQ(got[t].name, expected[t].name);
    EXPECT_EQ(got[t].xyz, expected[t].xyz);
  }
}

// Random atom records, from plain ones to odd mixes of quotes, commas, slashes,
// repeat counts, D exponents and bad items, read once as they stand and once
// after a blank line, which keeps the reader from taking the first record
// straight from its line. Both reads must agree on every bit of the record, or
// on the error message apart from the line number, which the blank line moves
// on by one.
struct Outcome {
  bool ok = false;
  long line = 0;
  std::string message; // after "<file>:<line>"
  Crystal record;
};

Outcome read_outcome(const std::string &file) {
  Outcome outcome;
  try {
    read_xyz(outcome.record, file);
    outcome.ok = true;
  } catch (const FormatError &error) {
    const std::string text = error.what();
    const std::size_t colon = text.find(':', file.size() + 1);
    outcome.line = std::stol(text.substr(file.size() + 1, colon - file.size() - 1));
    outcome.message = text.substr(colon);
  }
  return outcome;
}

std::string random_line(std::mt19937_64 &random) {
  const auto pick = [&random](const auto &pool) {
    return std::string(pool[random() % std::size(pool)]);
  };
  const char *const elements[] = {"14", "Si", "H", "1", "118", "+8", "007", "Og", "He"};
  const char *const odd_elements[] = {"119",   "0",    "-1", "2147483648", "si",   "Xx",  "'Si'",
                                      "\"H\"", "1*14", "2*", "Si*",        "14.0", "1e1", "He'"};
  const char *const odd_reals[] = {"-0",
                                   "0",
                                   "1.",
                                   ".5",
                                   "-.5e-3",
                                   "1e400",
                                   "-1e400",
                                   "1e-400",
                                   "4.9e-324",
                                   "2.5e-324",
                                   "+1.5",
                                   "1.5d3",
                                   "1.5D-3",
                                   "1d",
                                   "inf",
                                   "-Infinity",
                                   "nan",
                                   "NaN(1)",
                                   "0x1p3",
                                   "1e",
                                   "1.5e+",
                                   "-",
                                   ".",
                                   "e5",
                                   "3*",
                                   "2*1.5",
                                   "1*'2'",
                                   "'1.0'",
                                   "\"2\"",
                                   "*",
                                   "1.0.0",
                                   "1e5e5",
                                   "1'",
                                   "12345678901234567890123",
                                   "0.1000000000000000055511151231257827"};
  const char *const separators[] = {" ", "  ", "\t", ",", " , ", ",,", "/", " /", "\r", ""};
  std::uniform_real_distribution<double> uniform(-1e3, 1e3);
  const auto real = [&] {
    char text[64];
    const char *const formats[] = {"%.17g", "%.3f", "%g", "%.17e", "%.0f"};
    std::snprintf(text, sizeof text, formats[random() % 5],
                  std::ldexp(uniform(random), static_cast<int>(random() % 80) - 40));
    return std::string(text);
  };
  std::vector<std::string> items;
  const bool plain = random() % 4 != 0;
  const std::size_t count = plain ? 4 : random() % 7;
  for (std::size_t i = 0; i < count; ++i)
    items.push_back(i == 0 && (plain || random() % 2 == 0) ? pick(elements)
                    : !plain && random() % 4 == 0          ? pick(odd_reals)
                                                           : real());
  if (plain && random() % 3 == 0) // one odd item among plain ones
    items[random() % 4] = random() % 2 == 0 ? pick(odd_reals) : pick(odd_elements);
  std::string line = random() % 4 == 0 ? pick(separators) : "";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0)
      line += plain && random() % 8 != 0 ? std::string(" ") : pick(separators);
    line += items[i];
  }
  if (random() % 4 == 0)
    line += pick(separators) + (random() % 2 == 0 ? real() : pick(odd_elements));
  return line;
}

TEST(ReadXyz, RecordsTakenStraightFromTheLineReadAsItemByItem) {
  TempDir dir;
  std::mt19937_64 random(2024);
  int plain_records = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const int natom = 1 + static_cast<int>(random() % 2);
    std::string records;
    for (int line = 0, lines = natom + static_cast<int>(random() % 2); line < lines; ++line)
      records += random_line(random) + "\n";
    const std::string head = std::to_string(natom) + "\n" + cubic_cell;
    const std::string file = dir.write("straight.xyz", head + records);
    const Outcome straight = read_outcome(file);
    dir.write("straight.xyz", head + "\n" + records);
    const Outcome by_item = read_outcome(file);
    SCOPED_TRACE(records);
    ASSERT_EQ(straight.ok, by_item.ok);
    if (!straight.ok) {
      EXPECT_EQ(straight.message, by_item.message);
      EXPECT_EQ(straight.line + 1, by_item.line);
      continue;
    }
    ++plain_records;
    const Crystal &a = straight.record;
    const Crystal &b = by_item.record;
    ASSERT_EQ(a.natom, b.natom);
    EXPECT_EQ(*a.name, *b.name);
    ASSERT_EQ(a.xyz->size(), b.xyz->size());
    EXPECT_EQ(std::memcmp(a.xyz->data(), b.xyz->data(), a.xyz->size() * sizeof(Vec3)), 0);
  }
  // Enough of the trials must read, or the comparison says little.
  EXPECT_GT(plain_records, 500);
}

// Large files are parsed in segments on several threads. Read on one CPU,
// where no helper starts, the same files must give the same record bit for
// bit, or the same error at the same line: with valid odd records (spread
// over lines, quoted, repeated, after blank lines, too long to split off) at
// random places, an invalid one somewhere, and counts above and below the
// number of records.
TEST(ReadXyz, TwoThreadsReadAsOne) {
  if (HelperThread::usable_cpus() < 2)
    GTEST_SKIP() << "one CPU: every read runs on one thread";
  TempDir dir;
  std::mt19937_64 random(99);
  std::uniform_real_distribution<double> uniform(-300, 300);
  std::string long_line = "14 1 2 3";
  long_line.append(5000, ' ').append("tail");
  const std::string odd[] = {"14 1.5\n2.5 3.5", "\n\n14 1 2 3", "'Si' 1 2 3",
                             "14 3*0.5",        "14,1,,3",      "Si 1.5D2 -2d-1 +3",
                             "14 1 2 3 / junk", long_line,      " , 1 2 3"};
  for (int trial = 0; trial < 6; ++trial) {
    constexpr int records = 40000;
    const int odd_one_in = trial == 0 ? records * 2 : 2 << (2 * trial);
    std::string text;
    for (int i = 0; i < records; ++i) {
      char line[96];
      std::snprintf(line, sizeof line, "%d %.17g %.17g %.17g\n", 1 + i % 118, uniform(random),
                    uniform(random), uniform(random));
      text += random() % odd_one_in == 0 ? odd[random() % 8] + "\n" : line;
    }
    if (trial == 5) // one bad record near the end
      text.insert(text.rfind('\n', text.size() - 4096) + 1, random_line(random) + "\n");
    const int count = records + static_cast<int>(trial % 3) - 1;
    const std::string file = dir.write("big.xyz", std::to_string(count) + "\n" + cubic_cell + text);
    const Outcome shared = read_outcome(file);
    Outcome alone;
    std::thread one_cpu([&] {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(sched_getcpu(), &set);
      ASSERT_EQ(::pthread_setaffinity_np(::pthread_self(), sizeof set, &set), 0);
      ASSERT_EQ(HelperThread::usable_cpus(), 1u);
      alone = read_outcome(file);
    });
    one_cpu.join();
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + alone.message);
    ASSERT_EQ(shared.ok, alone.ok);
    EXPECT_EQ(shared.line, alone.line);
    EXPECT_EQ(shared.message, alone.message);
    if (shared.ok) {
      EXPECT_EQ(shared.record.natom, count);
      EXPECT_EQ(*shared.record.name, *alone.record.name);
      ASSERT_EQ(shared.record.xyz->size(), static_cast<std::size_t>(count));
      EXPECT_EQ(std::memcmp(shared.record.xyz->data(), alone.record.xyz->data(),
                            shared.record.xyz->size() * sizeof(Vec3)),
                0);
    }
  }
}

} // namespace
