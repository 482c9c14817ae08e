#include "crystal/element.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

using morvak::crystal::Element_map;

namespace {

Element_map make_table() {
  Element_map table;
  table.initialize();
  return table;
}

} // namespace

TEST(ElementTable, EveryEntryIsNumberedAndEverySymbolRoundTrips) {
  const Element_map table = make_table();
  std::set<std::string> seen;
  for (int n = 1; n <= Element_map::size; ++n) {
    const auto &entry = table.elements[n - 1];
    EXPECT_EQ(entry.number, n);
    EXPECT_GT(entry.mass, 0.0);
    const auto symbol = table.get_element_symbol(n);
    EXPECT_EQ(symbol, entry.symbol);
    EXPECT_NE(symbol[0], ' ') << n;
    EXPECT_EQ(table.get_element_number(symbol.view()), n) << symbol.view();
    EXPECT_EQ(table.get_element_number(symbol.trimmed()), n) << symbol.view();
    EXPECT_TRUE(seen.insert(std::string(symbol.view())).second) << symbol.view();
  }
}

struct Known {
  int number;
  const char *symbol;
  double mass;
};

// GoogleTest would otherwise print the raw bytes, padding included.
void PrintTo(const Known &known, std::ostream *os) { *os << known.symbol; }

class KnownElements : public testing::TestWithParam<Known> {};

TEST_P(KnownElements, SymbolAndMassAsListed) {
  const Element_map table = make_table();
  const Known &known = GetParam();
  EXPECT_EQ(table.get_element_symbol(known.number).view(), known.symbol);
  EXPECT_EQ(table.elements[known.number - 1].mass, known.mass);
}

INSTANTIATE_TEST_SUITE_P(Table, KnownElements,
                         testing::Values(Known{1, "H ", 1.008}, Known{2, "He", 4.002602},
                                         Known{14, "Si", 28.085}, Known{43, "Tc", 97},
                                         Known{53, "I ", 126.90447}, Known{77, "Ir", 192.217},
                                         Known{92, "U ", 238.02892}, Known{108, "Hs", 269},
                                         Known{118, "Og", 294}));

struct Lookup {
  const char *text;
  int number;
};

void PrintTo(const Lookup &lookup, std::ostream *os) { *os << '"' << lookup.text << '"'; }

class SymbolLookup : public testing::TestWithParam<Lookup> {};

// Blank-padded, case-sensitive comparison: trailing blanks never matter,
// leading blanks, case and extra letters always do.
TEST_P(SymbolLookup, FindsNumberOrZero) {
  EXPECT_EQ(make_table().get_element_number(GetParam().text), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(Table, SymbolLookup,
                         testing::Values(Lookup{"He", 2}, Lookup{"H", 1}, Lookup{"H ", 1},
                                         Lookup{"H     ", 1}, Lookup{"He   ", 2}, Lookup{"Og", 118},
                                         Lookup{"he", 0}, Lookup{"HE", 0}, Lookup{" H", 0},
                                         Lookup{"Hel", 0}, Lookup{"", 0}, Lookup{"  ", 0},
                                         Lookup{"Xx", 0}));

class NumberOutsideTable : public testing::TestWithParam<int> {};

TEST_P(NumberOutsideTable, ThrowsOutOfRangeNamingTheNumber) {
  const Element_map table = make_table();
  try {
    table.get_element_symbol(GetParam());
    FAIL() << "no exception";
  } catch (const std::out_of_range &error) {
    EXPECT_NE(std::string(error.what()).find(std::to_string(GetParam())), std::string::npos)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, NumberOutsideTable, testing::Values(0, -1, 119, INT_MIN, INT_MAX));

TEST(ElementTable, InitializeTwiceGivesTheSameTable) {
  Element_map twice = make_table();
  twice.initialize();
  const Element_map once = make_table();
  for (int i = 0; i < Element_map::size; ++i) {
    EXPECT_EQ(twice.elements[i].number, once.elements[i].number);
    EXPECT_EQ(twice.elements[i].mass, once.elements[i].mass);
    EXPECT_EQ(twice.elements[i].symbol, once.elements[i].symbol);
  }
}
