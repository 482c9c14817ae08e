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
#include <limits>
#include <stdexcept>
#include <string>
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

// Smallest square whose correctly rounded root is at least `limit`. As the
// root is monotonic, sqrt(d2) >= limit exactly when d2 >= root_threshold(limit),
// so the loops below decide on d2 alone, without a root per candidate.
double root_threshold(double limit) {
  const double inf = std::numeric_limits<double>::infinity();
  double x = limit * limit;
  while (x > 0.0 && std::sqrt(std::nextafter(x, 0.0)) >= limit)
    x = std::nextafter(x, 0.0);
  while (x < inf && std::sqrt(x) < limit)
    x = std::nextafter(x, inf);
  return x;
}

} // namespace

struct NeighbourSearch::Impl {
  NeighbourGrid grid;
  std::span<const double> positions;
  double cutoff;
  double r_min;
  int threads;
  bool counted = false;
  std::vector<std::int64_t> offsets;  // first pair of atom i, in input order; n + 1 entries
  double low = root_threshold(r_min); // pairs have low <= d2 < high
  double high = root_threshold(cutoff);

  std::int64_t count_of(std::size_t a, const std::vector<GridStep> &steps) const;
  // Appends every pair of the sorted atom `a` to `found`, with atom indices in
  // input order, in no particular order.
  void collect(std::size_t a, const std::vector<GridStep> &steps,
               std::vector<Candidate> &found) const;
  template <class AtomWork> void for_atoms(AtomWork &&work) const;
  void count_pairs();
  void fill(const NeighbourOutput &out) const;
};

namespace {

// S . cell, summed in the order a0, a1, a2 whatever the atoms' wraps.
std::array<double, 3> translation(const double *cell, const std::array<std::int64_t, 3> &s) {
  std::array<double, 3> t{};
  for (int x = 0; x < 3; ++x)
    t[x] = static_cast<double>(s[0]) * cell[x] + static_cast<double>(s[1]) * cell[3 + x] +
           static_cast<double>(s[2]) * cell[6 + x];
  return t;
}

// Shift and translation of a step for atom a: S and S . cell are the same for
// the whole run when no atom lies outside the cell.
struct StepFrame {
  std::array<std::int64_t, 3> shift;
  std::array<double, 3> t;
};

StepFrame frame(const NeighbourGrid &grid, const GridStep &step, std::size_t a) {
  const std::int32_t *w = grid.wraps.data();
  StepFrame f{
      {step.shift[0] + w[3 * a], step.shift[1] + w[3 * a + 1], step.shift[2] + w[3 * a + 2]}, {}};
  f.t = translation(grid.cell.data(), f.shift);
  return f;
}

// Shift and translation from atom a to sorted atom b in a step: the step's
// frame, corrected by b's own wraps.
StepFrame frame_to(const NeighbourGrid &grid, const StepFrame &f, std::size_t b) {
  const std::int32_t *w = grid.wraps.data();
  if ((w[3 * b] | w[3 * b + 1] | w[3 * b + 2]) == 0)
    return f;
  StepFrame g{{f.shift[0] - w[3 * b], f.shift[1] - w[3 * b + 1], f.shift[2] - w[3 * b + 2]}, {}};
  g.t = translation(grid.cell.data(), g.shift);
  return g;
}

} // namespace

std::int64_t NeighbourSearch::Impl::count_of(std::size_t a,
                                             const std::vector<GridStep> &steps) const {
  const double *xs = grid.sorted_positions[0].data(), *ys = grid.sorted_positions[1].data(),
               *zs = grid.sorted_positions[2].data();
  const double xi = xs[a], yi = ys[a], zi = zs[a], lo = low, hi = high;
  std::int64_t found = 0;
  for (const GridStep &step : steps) {
    const StepFrame f = frame(grid, step, a);
    if (!grid.wrapped) {
      // Branch-free, so that it vectorises; the arithmetic is collect's.
      std::int64_t run = 0;
      for (std::size_t b = step.first; b < step.last; ++b) {
        const double vx = (xs[b] - xi) + f.t[0];
        const double vy = (ys[b] - yi) + f.t[1];
        const double vz = (zs[b] - zi) + f.t[2];
        const double d2 = vx * vx + vy * vy + vz * vz;
        run += static_cast<std::int64_t>((d2 >= lo) & (d2 < hi));
      }
      found += run;
      continue;
    }
    for (std::size_t b = step.first; b < step.last; ++b) {
      const StepFrame g = frame_to(grid, f, b);
      const double vx = (xs[b] - xi) + g.t[0];
      const double vy = (ys[b] - yi) + g.t[1];
      const double vz = (zs[b] - zi) + g.t[2];
      const double d2 = vx * vx + vy * vy + vz * vz;
      found += static_cast<std::int64_t>((d2 >= lo) & (d2 < hi));
    }
  }
  // The atom itself, met once at zero shift and distance exactly 0, is no pair.
  return lo == 0.0 ? found - 1 : found;
}

void NeighbourSearch::Impl::collect(std::size_t a, const std::vector<GridStep> &steps,
                                    std::vector<Candidate> &found) const {
  const double *xs = grid.sorted_positions[0].data(), *ys = grid.sorted_positions[1].data(),
               *zs = grid.sorted_positions[2].data();
  const double xi = xs[a], yi = ys[a], zi = zs[a], lo = low, hi = high;
  const std::int64_t i = grid.order[a];
  for (const GridStep &step : steps) {
    const StepFrame f = frame(grid, step, a);
    auto consider = [&](std::size_t b, const StepFrame &g) {
      const double vx = (xs[b] - xi) + g.t[0];
      const double vy = (ys[b] - yi) + g.t[1];
      const double vz = (zs[b] - zi) + g.t[2];
      const double d2 = vx * vx + vy * vy + vz * vz;
      if (!(d2 >= lo && d2 < hi))
        return;
      const std::int64_t j = grid.order[b];
      if (j == i && g.shift[0] == 0 && g.shift[1] == 0 && g.shift[2] == 0)
        return;
      found.push_back({j, g.shift, {vx, vy, vz}, std::sqrt(d2)});
    };
    if (grid.wrapped)
      for (std::size_t b = step.first; b < step.last; ++b)
        consider(b, frame_to(grid, f, b));
    else
      for (std::size_t b = step.first; b < step.last; ++b)
        consider(b, f);
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
    offsets[static_cast<std::size_t>(grid.order[a]) + 1] = count_of(a, steps);
  });
  for (std::size_t k = 0; k < n; ++k)
    offsets[k + 1] += offsets[k];
  counted = true;
}

void NeighbourSearch::Impl::fill(const NeighbourOutput &out) const {
  // One candidate buffer per thread, reused atom after atom, each on cache
  // lines of its own: the threads write their vectors' ends at every pair.
  struct alignas(64) Buffer {
    std::vector<Candidate> found;
  };
  std::vector<Buffer> buffers(static_cast<std::size_t>(threads));
  for_atoms([&](std::size_t a, const std::vector<GridStep> &steps, int t) {
    std::vector<Candidate> &found = buffers[static_cast<std::size_t>(t)].found;
    found.clear();
    collect(a, steps, found);
    std::sort(found.begin(), found.end(), key_less);
    const std::int64_t i = grid.order[a];
    auto p = static_cast<std::size_t>(offsets[static_cast<std::size_t>(i)]);
    // The storage was sized by the counting pass; never write past an atom's share.
    if (static_cast<std::int64_t>(found.size()) !=
        offsets[static_cast<std::size_t>(i) + 1] - offsets[static_cast<std::size_t>(i)])
      throw std::logic_error("neighbour search: the two passes disagree on the pairs of atom " +
                             std::to_string(i));
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
