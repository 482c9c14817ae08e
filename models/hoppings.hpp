// The bonds a hopping term covers: one canonical pair per Hermitian pair.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "models/neighbours.hpp"

namespace morvak::models {

// Canonical pairs (i, j, S): i < j, or i == j with S lexicographically
// positive; the mirror (j, i, -S) of each is implied. bond holds three values
// per pair, d = (r_j - r_i) + S.cell, computed so that the mirror's vector is
// exactly -d.
struct BondPairs {
  std::vector<std::int32_t> row, col, shift;
  std::vector<double> bond;
  std::size_t size() const { return row.size(); }
};

// The canonical pairs with r_min < |d| < cutoff. Throws std::invalid_argument
// as find_neighbours does, and std::length_error above 2^31 - 1 atoms.
BondPairs bond_pairs(const Cell &cell, std::span<const double> positions, double cutoff,
                     double r_min, const Periodicity &pbc, int threads);

} // namespace morvak::models
