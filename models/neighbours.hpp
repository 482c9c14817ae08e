// Cell-list neighbour search in periodic, partly periodic and open cells.
//
// A pair (i, j, S) is reported when r_min <= |r_j + S . cell - r_i| < cutoff,
// where S is an integer cell shift (zero along open axes) and the pair is not
// i == j with S == 0. Pairs come ordered by i, then j, then S
// lexicographically. Time and memory are O(N + pairs); the search runs on
// `threads` std::threads that are joined before each call returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace morvak::models {

// Rows are the cell vectors a0, a1, a2: element (k, x) is cell[3 * k + x].
using Cell = std::array<double, 9>;
using Periodicity = std::array<bool, 3>;

// Pairs as parallel arrays (structure of arrays); shift and vector hold three
// values per pair, row-major.
struct NeighbourList {
  std::vector<std::int64_t> i;
  std::vector<std::int64_t> j;
  std::vector<std::int64_t> shift;
  std::vector<double> vector; // r_j + S . cell - r_i
  std::vector<double> distance;

  std::size_t size() const { return distance.size(); }
};

// All pairs of the atoms at `positions` (n x 3, row-major). Throws
// std::invalid_argument for a cutoff that is not finite and positive, a
// negative or too large r_min, a non-finite position, or a periodic axis whose
// cell vector is zero or lies in the span of the other periodic vectors.
NeighbourList find_neighbours(const Cell &cell, std::span<const double> positions, double cutoff,
                              const Periodicity &pbc, double r_min = 0.0, int threads = 2);

// Caller-owned output storage: count() entries for i, j and distance, three
// times that for shift and vector.
struct NeighbourOutput {
  std::int64_t *i;
  std::int64_t *j;
  std::int64_t *shift;
  double *vector;
  double *distance;
};

// Two-step form of find_neighbours for callers that allocate the output
// themselves: count() searches and keeps each pair in 8 bytes (atom j and
// the shift), fill() writes the pairs into exactly sized storage, so that no
// pair is ever held twice in full. The constructor validates and bins the
// atoms; `positions` must outlive the object.
class NeighbourSearch {
public:
  NeighbourSearch(const Cell &cell, std::span<const double> positions, double cutoff,
                  const Periodicity &pbc, double r_min = 0.0, int threads = 2);
  ~NeighbourSearch();
  NeighbourSearch(NeighbourSearch &&) noexcept;
  NeighbourSearch &operator=(NeighbourSearch &&) noexcept;

  // Number of pairs; runs the search on the first call.
  std::size_t count();
  // Writes the pairs; calls count() first if it has not run.
  void fill(const NeighbourOutput &out);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace morvak::models
