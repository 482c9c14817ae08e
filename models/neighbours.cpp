// Cell-list neighbour search.
//
// Atoms are binned along the three axes of a binning basis: the cell vectors
// on periodic axes, and on open axes unit vectors orthogonal to the periodic
// ones, scaled to the atoms' extent. Bins are at least the cutoff thick
// (perpendicular to their faces), so a sphere of radius cutoff around an atom
// meets only the bins within m_k steps along axis k; with cutoffs beyond the
// cell m_k grows and the same loop visits the needed images. Periodic
// coordinates are wrapped into the cell for binning; reported shifts and
// vectors refer to the positions as given.
#include "models/neighbours.hpp"
#include "models/neighbour_grid.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

namespace morvak::models {

namespace {

struct Candidate {
  std::int64_t j;
  std::array<std::int64_t, 3> s;
  std::array<double, 3> v;
  double d;
};

bool key_less(const Candidate &a, const Candidate &b) {
  if (a.j != b.j)
    return a.j < b.j;
  return a.s < b.s;
}

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

} // namespace

struct NeighbourSearch::Impl {
  NeighbourGrid grid;
  std::span<const double> positions;
  double cutoff;
  double r_min;
  int threads;
  bool counted = false;
  std::vector<std::int64_t> offsets; // first pair of atom i, in input order; n + 1 entries

  // Calls emit(candidate) for every pair of the sorted atom `a`, with atom
  // indices in input order, in no particular order.
  template <class Emit> void visit(std::size_t a, std::vector<GridStep> &steps, Emit &&emit) const;
  template <class BinWork> void for_bins(BinWork &&work) const;
  void count_pairs();
  void fill(const NeighbourOutput &out) const;
};

template <class Emit>
void NeighbourSearch::Impl::visit(std::size_t a, std::vector<GridStep> &steps, Emit &&emit) const {
  const double *cell = grid.cell.data();
  const double *r = grid.sorted_positions.data();
  const std::int32_t *w = grid.wraps.data();
  const std::int64_t i = grid.order[a];
  const double xi = r[3 * a], yi = r[3 * a + 1], zi = r[3 * a + 2];
  const double c2 = cutoff * cutoff * (1.0 + 1e-12);
  for (const GridStep &step : steps) {
    for (std::size_t b = step.first; b < step.last; ++b) {
      const std::int64_t s0 = step.shift[0] + w[3 * a] - w[3 * b];
      const std::int64_t s1 = step.shift[1] + w[3 * a + 1] - w[3 * b + 1];
      const std::int64_t s2 = step.shift[2] + w[3 * a + 2] - w[3 * b + 2];
      const double f0 = static_cast<double>(s0), f1 = static_cast<double>(s1),
                   f2 = static_cast<double>(s2);
      const double vx = (r[3 * b] - xi) + (f0 * cell[0] + f1 * cell[3] + f2 * cell[6]);
      const double vy = (r[3 * b + 1] - yi) + (f0 * cell[1] + f1 * cell[4] + f2 * cell[7]);
      const double vz = (r[3 * b + 2] - zi) + (f0 * cell[2] + f1 * cell[5] + f2 * cell[8]);
      const double d2 = vx * vx + vy * vy + vz * vz;
      if (d2 >= c2)
        continue;
      const double d = std::sqrt(d2);
      if (d >= cutoff || d < r_min)
        continue;
      const std::int64_t j = grid.order[b];
      if (j == i && s0 == 0 && s1 == 0 && s2 == 0)
        continue;
      emit(Candidate{j, {s0, s1, s2}, {vx, vy, vz}, d});
    }
  }
}

// Splits the bins into one contiguous run per thread, of about equal atom
// counts, and calls work(first_bin, last_bin, steps) on each.
template <class BinWork> void NeighbourSearch::Impl::for_bins(BinWork &&work) const {
  const std::size_t nbins = grid.bin_start.size() - 1;
  const std::size_t natoms = grid.order.size();
  std::vector<std::size_t> split(static_cast<std::size_t>(threads) + 1, nbins);
  split[0] = 0;
  for (int t = 1; t < threads; ++t) {
    const std::size_t target = natoms * static_cast<std::size_t>(t) / threads;
    const auto it = std::lower_bound(grid.bin_start.begin(), grid.bin_start.end() - 1,
                                     static_cast<std::int64_t>(target));
    split[static_cast<std::size_t>(t)] =
        std::max(split[static_cast<std::size_t>(t) - 1],
                 static_cast<std::size_t>(it - grid.bin_start.begin()));
  }
  run_threads(threads, [&](int t) {
    std::vector<GridStep> steps;
    work(split[static_cast<std::size_t>(t)], split[static_cast<std::size_t>(t) + 1], steps);
  });
}

void NeighbourSearch::Impl::count_pairs() {
  const std::size_t n = grid.order.size();
  offsets.assign(n + 1, 0);
  for_bins([&](std::size_t first, std::size_t last, std::vector<GridStep> &steps) {
    for (std::size_t bin = first; bin < last; ++bin) {
      grid.steps_of(bin, steps);
      for (auto a = static_cast<std::size_t>(grid.bin_start[bin]);
           a < static_cast<std::size_t>(grid.bin_start[bin + 1]); ++a) {
        std::int64_t found = 0;
        visit(a, steps, [&](const Candidate &) { ++found; });
        offsets[static_cast<std::size_t>(grid.order[a]) + 1] = found;
      }
    }
  });
  for (std::size_t k = 0; k < n; ++k)
    offsets[k + 1] += offsets[k];
  counted = true;
}

void NeighbourSearch::Impl::fill(const NeighbourOutput &out) const {
  for_bins([&](std::size_t first, std::size_t last, std::vector<GridStep> &steps) {
    std::vector<Candidate> found;
    for (std::size_t bin = first; bin < last; ++bin) {
      grid.steps_of(bin, steps);
      for (auto a = static_cast<std::size_t>(grid.bin_start[bin]);
           a < static_cast<std::size_t>(grid.bin_start[bin + 1]); ++a) {
        found.clear();
        visit(a, steps, [&](const Candidate &c) { found.push_back(c); });
        std::sort(found.begin(), found.end(), key_less);
        const std::int64_t i = grid.order[a];
        auto p = static_cast<std::size_t>(offsets[static_cast<std::size_t>(i)]);
        for (const Candidate &c : found) {
          out.i[p] = i;
          out.j[p] = c.j;
          out.distance[p] = c.d;
          for (std::size_t x = 0; x < 3; ++x) {
            out.shift[3 * p + x] = c.s[x];
            out.vector[3 * p + x] = c.v[x];
          }
          ++p;
        }
      }
    }
  });
}

NeighbourSearch::NeighbourSearch(const Cell &cell, std::span<const double> positions, double cutoff,
                                 const Periodicity &pbc, double r_min, int threads)
    : impl_(std::make_unique<Impl>(Impl{NeighbourGrid(cell, positions, cutoff, pbc, r_min),
                                        positions,
                                        cutoff,
                                        r_min,
                                        std::clamp(threads, 1, 64),
                                        false,
                                        {}})) {
  // Below a few thousand atoms a second thread costs more than it saves.
  if (positions.size() < 3 * 4096)
    impl_->threads = 1;
}

NeighbourSearch::~NeighbourSearch() = default;
NeighbourSearch::NeighbourSearch(NeighbourSearch &&) noexcept = default;
NeighbourSearch &NeighbourSearch::operator=(NeighbourSearch &&) noexcept = default;

std::size_t NeighbourSearch::count() {
  if (!impl_->counted)
    impl_->count_pairs();
  return static_cast<std::size_t>(impl_->offsets.back());
}

void NeighbourSearch::fill(const NeighbourOutput &out) {
  count();
  impl_->fill(out);
}

NeighbourList find_neighbours(const Cell &cell, std::span<const double> positions, double cutoff,
                              const Periodicity &pbc, double r_min, int threads) {
  NeighbourSearch search(cell, positions, cutoff, pbc, r_min, threads);
  const std::size_t n = search.count();
  NeighbourList list;
  list.i.resize(n);
  list.j.resize(n);
  list.shift.resize(3 * n);
  list.vector.resize(3 * n);
  list.distance.resize(n);
  search.fill(
      {list.i.data(), list.j.data(), list.shift.data(), list.vector.data(), list.distance.data()});
  return list;
}

} // namespace morvak::models
