// Bins of the cell-list neighbour search (internal to models/).
#pragma once

#include "models/neighbours.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <span>
#include <thread>
#include <vector>

namespace morvak::models {

// Runs work(t) for t = 0 .. threads-1, the first on the calling thread, and
// rethrows the first exception once every thread has joined.
template <class Work> void run_threads(int threads, Work &&work) {
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
  auto guarded = [&](int t) {
    try {
      work(t);
    } catch (...) {
      errors[static_cast<std::size_t>(t)] = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t)
    pool.emplace_back(guarded, t);
  guarded(0);
  for (auto &th : pool)
    th.join();
  for (auto &e : errors)
    if (e)
      std::rethrow_exception(e);
}

// One run of consecutive bins to visit from a bin, and the cell shift of their
// image (zero on open axes) with its translation S . cell.
struct GridStep {
  std::size_t first; // sorted atoms [first, last)
  std::size_t last;
  std::array<std::int64_t, 3> shift;
  std::array<double, 3> translation;
};

// S . cell, summed in the order a0, a1, a2.
inline std::array<double, 3> translation(const Cell &cell, const std::array<std::int64_t, 3> &s) {
  std::array<double, 3> t{};
  for (int x = 0; x < 3; ++x)
    t[x] = static_cast<double>(s[0]) * cell[x] + static_cast<double>(s[1]) * cell[3 + x] +
           static_cast<double>(s[2]) * cell[6 + x];
  return t;
}

// A row of bins along axis 2 within reach of a column of bins: its first bin
// and the image shifts along axes 0 and 1.
struct GridRow {
  std::int64_t first_bin;
  std::int64_t shift0, shift1;
};

// Atoms sorted by bin. Validates its arguments (std::invalid_argument).
struct NeighbourGrid {
  // Binning runs on up to `threads` threads for large inputs.
  NeighbourGrid(const Cell &cell, std::span<const double> positions, double cutoff,
                const Periodicity &pbc, double r_min, int threads = 1);

  Cell cell;
  Periodicity pbc;
  std::array<std::int64_t, 3> nbins;   // bins along each axis
  std::array<std::int64_t, 3> reach;   // bins within the cutoff along each axis, either side
  std::vector<std::int64_t> bin_start; // first sorted atom of each bin; one more entry
  std::vector<std::int64_t> order;     // input index of each sorted atom
  // Coordinates of the sorted atoms as given, x, y, z together, with
  // `padding` more atoms (zero) so that loops may read whole blocks.
  static constexpr std::size_t padding = 4;
  std::vector<double> sorted_positions;
  // 3 per sorted atom: cells it lies outside the cell; empty unless `wrapped`.
  std::vector<std::int32_t> wraps;
  bool wrapped = false; // some atom lies outside the cell on a periodic axis

  // S . cell, as translation() computes it; the zero shift's is kept ready.
  std::array<double, 3> translation_of(const std::array<std::int64_t, 3> &s) const {
    return (s[0] | s[1] | s[2]) == 0 ? zero_translation : translation(cell, s);
  }

  // The rows of bins within reach of the column (b0, b1), into `rows`.
  void rows_of(std::int64_t b0, std::int64_t b1, std::vector<GridRow> &rows) const;
  // The runs of bins within reach of bin b2 of the column with these rows
  // that hold atoms, with their shifts, in the front of `steps` (a scratch
  // buffer it grows as needed).
  std::span<const GridStep> steps_of(std::span<const GridRow> rows, std::int64_t b2,
                                     std::vector<GridStep> &steps) const;

private:
  // Along axes 0 and 1, for the bin index t + reach[k] (t from -reach[k]):
  // the bin it falls in and its image shift; bin -1 where an open axis ends.
  std::array<std::vector<std::int64_t>, 2> neighbour_bin, neighbour_shift;
  // Along axis 2, the bins within reach of bin b2 as runs of consecutive
  // bins, one per image: runs2[runs2_start[b2] .. runs2_start[b2 + 1]).
  struct Run {
    std::int64_t from, to, image;
  };
  std::vector<Run> runs2;
  std::vector<std::size_t> runs2_start;
  std::array<double, 3> zero_translation;
  void tabulate_steps();
};

} // namespace morvak::models
