#include "models/hoppings.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace morvak::models {

namespace {

bool canonical(std::int64_t i, std::int64_t j, const std::int64_t *s) {
  if (i != j)
    return i < j;
  const std::int64_t first = s[0] != 0 ? s[0] : (s[1] != 0 ? s[1] : s[2]);
  return first > 0;
}

} // namespace

BondPairs bond_pairs(const Cell &cell, std::span<const double> positions, double cutoff,
                     double r_min, const Periodicity &pbc, int threads) {
  if (positions.size() / 3 > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::length_error("a model holds at most 2^31 - 1 atoms");
  const NeighbourList found = find_neighbours(cell, positions, cutoff, pbc, r_min, threads);
  BondPairs out;
  const std::size_t half = found.size() / 2 + 1;
  out.row.reserve(half);
  out.col.reserve(half);
  out.shift.reserve(3 * half);
  out.bond.reserve(3 * half);
  const double *r = positions.data();
  for (std::size_t p = 0; p < found.size(); ++p) {
    const std::int64_t i = found.i[p], j = found.j[p];
    const std::int64_t *s = found.shift.data() + 3 * p;
    if (!canonical(i, j, s))
      continue;
    double d[3];
    for (int x = 0; x < 3; ++x) {
      // The image offset first, then the sum: negating S negates it exactly.
      const double image = static_cast<double>(s[0]) * cell[x] +
                           static_cast<double>(s[1]) * cell[3 + x] +
                           static_cast<double>(s[2]) * cell[6 + x];
      d[x] = (r[3 * j + x] - r[3 * i + x]) + image;
    }
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(length > r_min && length < cutoff))
      continue;
    out.row.push_back(static_cast<std::int32_t>(i));
    out.col.push_back(static_cast<std::int32_t>(j));
    for (int x = 0; x < 3; ++x) {
      out.shift.push_back(static_cast<std::int32_t>(s[x]));
      out.bond.push_back(d[x]);
    }
  }
  return out;
}

} // namespace morvak::models
