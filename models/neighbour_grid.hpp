// Bins of the cell-list neighbour search (internal to models/).
#pragma once

#include "models/neighbours.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace morvak::models {

// One run of consecutive bins to visit from a bin, and the cell shift of their
// image (zero on open axes).
struct GridStep {
  std::size_t first; // sorted atoms [first, last)
  std::size_t last;
  std::array<std::int64_t, 3> shift;
};

// Atoms sorted by bin. Validates its arguments (std::invalid_argument).
struct NeighbourGrid {
  NeighbourGrid(const Cell &cell, std::span<const double> positions, double cutoff,
                const Periodicity &pbc, double r_min);

  Cell cell;
  Periodicity pbc;
  std::array<std::int64_t, 3> nbins;    // bins along each axis
  std::array<std::int64_t, 3> reach;    // bins within the cutoff along each axis, either side
  std::vector<std::int64_t> bin_start;  // first sorted atom of each bin; one more entry
  std::vector<std::int64_t> order;      // input index of each sorted atom
  std::vector<double> sorted_positions; // 3 per sorted atom, as given
  std::vector<std::int32_t> wraps;      // 3 per sorted atom: cells it lies outside the cell
  // Filled only when the atoms are best visited in input order: the sorted
  // index and the bin of each atom, in input order.
  std::vector<std::int64_t> rank;
  std::vector<std::int64_t> input_bins;

  // The runs of bins within reach of `bin`, with their shifts.
  void steps_of(std::size_t bin, std::vector<GridStep> &steps) const;
};

} // namespace morvak::models
