// find_neighbours through its C++ interface: coordination shells of a simple
// cubic crystal, r_min, thread-count independence and argument errors.
#include "models/neighbours.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>

namespace {

using morvak::models::Cell;
using morvak::models::find_neighbours;

// n x n x n simple cubic atoms of spacing 1, in spatial order or shuffled.
std::vector<double> cubic(int n, bool shuffle) {
  std::vector<double> xyz;
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < n; ++b)
      for (int c = 0; c < n; ++c)
        xyz.insert(xyz.end(), {a + 0.0, b + 0.0, c + 0.0});
  std::mt19937 rng(7);
  for (std::size_t k = xyz.size() / 3; shuffle && k > 1; --k) {
    const std::size_t other = rng() % k;
    for (int x = 0; x < 3; ++x)
      std::swap(xyz[3 * (k - 1) + x], xyz[3 * other + x]);
  }
  return xyz;
}

struct Shell {
  double r_min, cutoff;
  std::size_t per_atom; // coordination in an infinite simple cubic crystal
  bool shuffle;         // atoms in no spatial order: visited bin by bin, not in input order
};

// The struct has padding bytes; GoogleTest's default printer would dump them.
void PrintTo(const Shell &s, std::ostream *os) {
  *os << s.r_min << " < d < " << s.cutoff << (s.shuffle ? ", shuffled" : "");
}

class CubicShells : public testing::TestWithParam<Shell> {};

TEST_P(CubicShells, EveryAtomHasItsShellInOrder) {
  const int n = 24; // 13824 atoms: enough for two threads
  const Cell cell{n + 0.0, 0, 0, 0, n + 0.0, 0, 0, 0, n + 0.0};
  const Shell s = GetParam();
  const auto xyz = cubic(n, s.shuffle);
  const auto list = find_neighbours(cell, xyz, s.cutoff, {true, true, true}, s.r_min);
  const std::size_t atoms = xyz.size() / 3;
  ASSERT_EQ(list.size(), atoms * s.per_atom);
  ASSERT_EQ(list.shift.size(), 3 * list.size());
  for (std::size_t p = 0; p < list.size(); ++p) {
    EXPECT_EQ(list.i[p], static_cast<std::int64_t>(p / s.per_atom));
    EXPECT_GE(list.distance[p], s.r_min);
    EXPECT_LT(list.distance[p], s.cutoff);
    for (int x = 0; x < 3; ++x) {
      const double expected = xyz[3 * list.j[p] + x] - xyz[3 * list.i[p] + x] +
                              static_cast<double>(list.shift[3 * p + x]) * n;
      EXPECT_EQ(list.vector[3 * p + x], expected);
    }
  }
  // The same pairs, in the same order, from one thread.
  const auto single = find_neighbours(cell, xyz, s.cutoff, {true, true, true}, s.r_min, 1);
  EXPECT_EQ(single.j, list.j);
  EXPECT_EQ(single.shift, list.shift);
  EXPECT_EQ(single.distance, list.distance);
}

INSTANTIATE_TEST_SUITE_P(Shells, CubicShells,
                         testing::Values(Shell{0.0, 1.1, 6, true}, Shell{0.0, 1.5, 18, false},
                                         Shell{1.1, 1.5, 12, true}, Shell{0.0, 1.8, 26, false}));

// Enough atoms for the binning to run on several threads too, in no spatial
// order and partly outside the cell: the same pairs, in the same order, bit
// for bit, whatever the thread count.
TEST(Neighbours, ThreadCountChangesNothing) {
  const Cell cell{40, 0, 0, 12, 38, 0, -8, 9, 36};
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> fraction(-0.3, 1.3);
  std::vector<double> xyz;
  for (int a = 0; a < 40000; ++a) {
    const double f[3] = {fraction(rng), fraction(rng), fraction(rng)};
    for (int x = 0; x < 3; ++x)
      xyz.push_back(f[0] * cell[x] + f[1] * cell[3 + x] + f[2] * cell[6 + x]);
  }
  const morvak::models::Periodicity all{true, true, true};
  const auto one = find_neighbours(cell, xyz, 1.0, all, 0.0, 1);
  ASSERT_GT(one.size(), xyz.size() / 3);
  for (int threads : {2, 3}) {
    const auto many = find_neighbours(cell, xyz, 1.0, all, 0.0, threads);
    EXPECT_EQ(many.i, one.i);
    EXPECT_EQ(many.j, one.j);
    EXPECT_EQ(many.shift, one.shift);
    EXPECT_EQ(many.vector, one.vector);
    EXPECT_EQ(many.distance, one.distance);
  }
}

TEST(Neighbours, OpenCellAndNoAtoms) {
  const Cell zero{};
  const std::vector<double> pair{0, 0, 0, 0, 0, 1.5};
  EXPECT_EQ(find_neighbours(zero, pair, 2.0, {false, false, false}).size(), 2u);
  EXPECT_EQ(find_neighbours(zero, pair, 1.5, {false, false, false}).size(), 0u);
  EXPECT_EQ(find_neighbours(zero, {}, 1.0, {false, false, false}).size(), 0u);
}

// The bounds are exact at the last bit: r_min <= d < cutoff, with d the
// correctly rounded root of d^2. The 3-4-5 pair has d = 5 exactly; the second
// pair has d^2 = 2, whose root rounds to the double nearest sqrt(2).
TEST(Neighbours, BoundsAreExact) {
  const Cell zero{};
  const morvak::models::Periodicity open{false, false, false};
  const double inf = INFINITY;
  const std::vector<double> five{0, 0, 0, 3, 4, 0}, root2{0, 0, 0, 1, 1, 0};
  for (const auto &[xyz, d] : {std::pair{five, 5.0}, std::pair{root2, std::sqrt(2.0)}}) {
    EXPECT_EQ(find_neighbours(zero, xyz, d, open).size(), 0u);
    EXPECT_EQ(find_neighbours(zero, xyz, std::nextafter(d, inf), open).size(), 2u);
    EXPECT_EQ(find_neighbours(zero, xyz, 10.0, open, d).size(), 2u);
    EXPECT_EQ(find_neighbours(zero, xyz, 10.0, open, std::nextafter(d, inf)).size(), 0u);
  }
}

TEST(Neighbours, RefusesBadArguments) {
  const Cell unit{1, 0, 0, 0, 1, 0, 0, 0, 1};
  const std::vector<double> one{0, 0, 0};
  const morvak::models::Periodicity all{true, true, true};
  EXPECT_THROW(find_neighbours(unit, one, 0.0, all), std::invalid_argument);
  EXPECT_THROW(find_neighbours(unit, one, NAN, all), std::invalid_argument);
  EXPECT_THROW(find_neighbours(unit, one, 1.0, all, -1.0), std::invalid_argument);
  const std::vector<double> two{0, 0};
  EXPECT_THROW(find_neighbours(unit, two, 1.0, all), std::invalid_argument);
  EXPECT_THROW(find_neighbours({1, 0, 0, 2, 0, 0, 0, 0, 1}, one, 1.0, all), std::invalid_argument);
  EXPECT_THROW(find_neighbours(unit, one, 1e7, all), std::invalid_argument);
}

} // namespace
