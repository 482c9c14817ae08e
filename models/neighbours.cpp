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
  template <class Emit>
  void visit(std::size_t a, const std::vector<GridStep> &steps, Emit &&emit) const;
  template <class AtomWork> void for_atoms(AtomWork &&work) const;
  void count_pairs();
  void fill(const NeighbourOutput &out) const;
};

template <class Emit>
void NeighbourSearch::Impl::visit(std::size_t a, const std::vector<GridStep> &steps,
                                  Emit &&emit) const {
  const double *cell = grid.cell.data();
  const double *r = grid.sorted_positions.data();
  const std::int32_t *w = grid.wraps.data();
  const std::int64_t i = grid.order[a];
  const double xi = r[3 * a], yi = r[3 * a + 1], zi = r[3 * a + 2];
  const double c2 = cutoff * cutoff * (1.0 + 1e-12);
  // S . cell, summed in the order a0, a1, a2 whatever the atoms' wraps.
  auto translation = [cell](std::int64_t s0, std::int64_t s1, std::int64_t s2, int x) {
    return static_cast<double>(s0) * cell[x] + static_cast<double>(s1) * cell[3 + x] +
           static_cast<double>(s2) * cell[6 + x];
  };
  for (const GridStep &step : steps) {
    // Most atoms lie inside the cell: then S and S . cell are the same for the whole run.
    const std::int64_t g0 = step.shift[0] + w[3 * a], g1 = step.shift[1] + w[3 * a + 1],
                       g2 = step.shift[2] + w[3 * a + 2];
    const double gx = translation(g0, g1, g2, 0), gy = translation(g0, g1, g2, 1),
                 gz = translation(g0, g1, g2, 2);
    for (std::size_t b = step.first; b < step.last; ++b) {
      std::int64_t s0 = g0, s1 = g1, s2 = g2;
      double tx = gx, ty = gy, tz = gz;
      if ((w[3 * b] | w[3 * b + 1] | w[3 * b + 2]) != 0) {
        s0 -= w[3 * b];
        s1 -= w[3 * b + 1];
        s2 -= w[3 * b + 2];
        tx = translation(s0, s1, s2, 0);
        ty = translation(s0, s1, s2, 1);
        tz = translation(s0, s1, s2, 2);
      }
      const double vx = (r[3 * b] - xi) + tx;
      const double vy = (r[3 * b + 1] - yi) + ty;
      const double vz = (r[3 * b + 2] - zi) + tz;
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

// Calls work(a, steps, t) for every sorted atom a, with `steps` those of its
// bin, on threads t = 0 .. threads-1: in input order when the grid keeps
// ranks, else bin by bin. Each thread takes a contiguous share of about equal
// atom count.
template <class AtomWork> void NeighbourSearch::Impl::for_atoms(AtomWork &&work) const {
  const std::size_t natoms = grid.order.size();
  const std::size_t nbins = grid.bin_start.size() - 1;
  const auto share = [&](int t) {
    return natoms * static_cast<std::size_t>(t) / static_cast<std::size_t>(threads);
  };
  if (!grid.rank.empty()) {
    run_threads(threads, [&](int t) {
      std::vector<GridStep> steps;
      std::int64_t current = -1;
      for (std::size_t i = share(t); i < share(t + 1); ++i) {
        if (grid.input_bins[i] != current) {
          current = grid.input_bins[i];
          grid.steps_of(static_cast<std::size_t>(current), steps);
        }
        work(static_cast<std::size_t>(grid.rank[i]), steps, t);
      }
    });
    return;
  }
  std::vector<std::size_t> split(static_cast<std::size_t>(threads) + 1, nbins);
  split[0] = 0;
  for (int t = 1; t < threads; ++t) {
    const auto it = std::lower_bound(grid.bin_start.begin(), grid.bin_start.end() - 1,
                                     static_cast<std::int64_t>(share(t)));
    split[static_cast<std::size_t>(t)] =
        std::max(split[static_cast<std::size_t>(t) - 1],
                 static_cast<std::size_t>(it - grid.bin_start.begin()));
  }
  run_threads(threads, [&](int t) {
    std::vector<GridStep> steps;
    for (std::size_t bin = split[static_cast<std::size_t>(t)];
         bin < split[static_cast<std::size_t>(t) + 1]; ++bin) {
      grid.steps_of(bin, steps);
      for (auto a = static_cast<std::size_t>(grid.bin_start[bin]);
           a < static_cast<std::size_t>(grid.bin_start[bin + 1]); ++a)
        work(a, steps, t);
    }
  });
}

void NeighbourSearch::Impl::count_pairs() {
  const std::size_t n = grid.order.size();
  offsets.assign(n + 1, 0);
  for_atoms([&](std::size_t a, const std::vector<GridStep> &steps, int) {
    std::int64_t found = 0;
    visit(a, steps, [&](const Candidate &) { ++found; });
    offsets[static_cast<std::size_t>(grid.order[a]) + 1] = found;
  });
  for (std::size_t k = 0; k < n; ++k)
    offsets[k + 1] += offsets[k];
  counted = true;
}

void NeighbourSearch::Impl::fill(const NeighbourOutput &out) const {
  // One candidate buffer per thread, reused atom after atom.
  std::vector<std::vector<Candidate>> buffers(static_cast<std::size_t>(threads));
  for_atoms([&](std::size_t a, const std::vector<GridStep> &steps, int t) {
    std::vector<Candidate> &found = buffers[static_cast<std::size_t>(t)];
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
