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
#include <limits>
#include <memory>
#include <utility>

namespace morvak::models {

namespace {

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

// Shift and translation of a step for atom a: S and S . cell are the same for
// the whole run when no atom lies outside the cell.
struct StepFrame {
  std::array<std::int64_t, 3> shift;
  std::array<double, 3> t;
};

StepFrame frame(const NeighbourGrid &grid, const GridStep &step, std::size_t a) {
  if (!grid.wrapped)
    return {step.shift, step.translation};
  const std::int32_t *w = grid.wraps.data();
  StepFrame f{
      {step.shift[0] + w[3 * a], step.shift[1] + w[3 * a + 1], step.shift[2] + w[3 * a + 2]}, {}};
  f.t = grid.translation_of(f.shift);
  return f;
}

// Shift and translation from atom a to sorted atom b in a step: the step's
// frame, corrected by b's own wraps.
StepFrame frame_to(const NeighbourGrid &grid, const StepFrame &f, std::size_t b) {
  const std::int32_t *w = grid.wraps.data();
  if ((w[3 * b] | w[3 * b + 1] | w[3 * b + 2]) == 0)
    return f;
  StepFrame g{{f.shift[0] - w[3 * b], f.shift[1] - w[3 * b + 1], f.shift[2] - w[3 * b + 2]}, {}};
  g.t = grid.translation_of(g.shift);
  return g;
}

bool is_zero(const std::array<std::int64_t, 3> &s) { return (s[0] | s[1] | s[2]) == 0; }

constexpr std::size_t lanes = NeighbourGrid::padding;

// A pair found by the search pass: atom j (its sorted index while the
// search runs, then its input index) and the cell shift.
// The vector and distance are recomputed when the output is written, so the
// search holds a fraction of the output's bytes.
//
// Narrow pairs are one word, j in the high half and the shift's components
// biased into 10 bits each below, so that their order as numbers is the
// order of (j, S). They serve fewer than 2^32 atoms with shifts under 512
// cells; wide pairs serve the rest.
struct NarrowPairs {
  using Pair = std::uint64_t;
  static constexpr std::int64_t bias = 512;
  static Pair tag(const std::array<std::int64_t, 3> &s) {
    return static_cast<Pair>(s[0] + bias) << 20 | static_cast<Pair>(s[1] + bias) << 10 |
           static_cast<Pair>(s[2] + bias);
  }
  static Pair with(Pair tag, std::int64_t j) { return static_cast<Pair>(j) << 32 | tag; }
  static std::size_t atom(Pair p) { return static_cast<std::size_t>(p >> 32); }
  static std::array<std::int64_t, 3> shift(Pair p) {
    return {static_cast<std::int64_t>(p >> 20 & 1023) - bias,
            static_cast<std::int64_t>(p >> 10 & 1023) - bias,
            static_cast<std::int64_t>(p & 1023) - bias};
  }
  static bool less(Pair p, Pair q) { return p < q; }
  static Pair renumber(Pair p, const std::int64_t *order) {
    return with(p & 0xffffffffu, order[atom(p)]);
  }
};

struct WidePairs {
  struct Pair {
    std::int64_t j;
    std::array<std::int64_t, 3> s;
  };
  static Pair tag(const std::array<std::int64_t, 3> &s) { return {0, s}; }
  static Pair with(Pair tag, std::int64_t j) {
    tag.j = j;
    return tag;
  }
  static std::size_t atom(const Pair &p) { return static_cast<std::size_t>(p.j); }
  static std::array<std::int64_t, 3> shift(const Pair &p) { return p.s; }
  static bool less(const Pair &p, const Pair &q) { return p.j != q.j ? p.j < q.j : p.s < q.s; }
  static Pair renumber(Pair p, const std::int64_t *order) {
    p.j = order[p.j];
    return p;
  }
};

// The pairs one thread found. Each atom's pairs lie together in one block,
// so they can be sorted in place and found again from one pointer.
template <class F> struct alignas(64) FoundBlocks {
  struct Block {
    std::unique_ptr<typename F::Pair[]> data;
    std::size_t used = 0, capacity = 0;
  };
  std::vector<Block> blocks;

  // Room for `count` more pairs in one piece.
  typename F::Pair *room(std::size_t count) {
    if (blocks.empty() || blocks.back().capacity - blocks.back().used < count) {
      const std::size_t capacity = std::max<std::size_t>(count, std::size_t{1} << 16);
      blocks.push_back({std::make_unique_for_overwrite<typename F::Pair[]>(capacity), 0, capacity});
    }
    return blocks.back().data.get() + blocks.back().used;
  }
  void commit(std::size_t count) { blocks.back().used += count; }
};

// Every pair found: the threads' blocks, and where atom i's pairs begin.
template <class F> struct Found {
  std::vector<FoundBlocks<F>> threads;
  std::vector<const typename F::Pair *> where;
};

} // namespace

struct NeighbourSearch::Impl {
  Impl(NeighbourGrid &&grid_, std::span<const double> positions_, double cutoff_, double r_min_,
       int threads_)
      : grid(std::move(grid_)), positions(positions_), cutoff(cutoff_), r_min(r_min_),
        threads(threads_) {}

  NeighbourGrid grid;
  std::span<const double> positions;
  double cutoff;
  double r_min;
  int threads;
  bool counted = false;
  bool narrow_pairs = true;
  std::vector<std::int64_t> offsets;  // first pair of atom i, in input order; n + 1 entries
  double low = root_threshold(r_min); // pairs have low <= d2 < high
  double high = root_threshold(cutoff);
  Found<NarrowPairs> narrow;
  Found<WidePairs> wide;

  bool fits_narrow() const;
  template <class F> void search(Found<F> &found);
  template <class F> void write(const Found<F> &found, const NeighbourOutput &out) const;
};

bool NeighbourSearch::Impl::fits_narrow() const {
  if (grid.order.size() > std::numeric_limits<std::uint32_t>::max())
    return false;
  // |S| is at most a step's image plus the spread of the atoms' wraps.
  for (int k = 0; k < 3; ++k) {
    std::int64_t lo = 0, hi = 0;
    for (std::size_t a = static_cast<std::size_t>(k); a < grid.wraps.size(); a += 3) {
      lo = std::min<std::int64_t>(lo, grid.wraps[a]);
      hi = std::max<std::int64_t>(hi, grid.wraps[a]);
    }
    const std::int64_t images = grid.reach[k] / std::max<std::int64_t>(grid.nbins[k], 1) + 2;
    if (images + (hi - lo) >= NarrowPairs::bias)
      return false;
  }
  return true;
}

// The search pass, bin by bin, each thread a run of bins of about equal atom
// count: every pair of every atom, sorted by (j, S), into the thread's
// blocks; the pair count of each atom into offsets.
template <class F> void NeighbourSearch::Impl::search(Found<F> &found) {
  using Pair = typename F::Pair;
  const std::size_t n = grid.order.size();
  const std::size_t nbins = grid.bin_start.size() - 1;
  offsets.assign(n + 1, 0);
  found.threads.clear();
  found.threads.resize(static_cast<std::size_t>(threads));
  found.where.assign(n, nullptr);
  const double *xyz = grid.sorted_positions.data();
  const std::int64_t *order = grid.order.data();
  const double lo = low, hi = high;
  std::vector<std::size_t> split(static_cast<std::size_t>(threads) + 1, nbins);
  split[0] = 0;
  for (int t = 1; t < threads; ++t) {
    const auto share = static_cast<std::int64_t>(n * static_cast<std::size_t>(t) /
                                                 static_cast<std::size_t>(threads));
    const auto it = std::lower_bound(grid.bin_start.begin(), grid.bin_start.end() - 1, share);
    split[static_cast<std::size_t>(t)] =
        std::max(split[static_cast<std::size_t>(t) - 1],
                 static_cast<std::size_t>(it - grid.bin_start.begin()));
  }
  // `bound`: room for the candidates of `steps`, read in blocks of `lanes`.
  auto atom = [&](std::size_t a, std::span<const GridStep> steps, std::size_t bound,
                  FoundBlocks<F> &blocks) {
    Pair *out = blocks.room(bound);
    const double xi = xyz[3 * a], yi = xyz[3 * a + 1], zi = xyz[3 * a + 2];
    std::size_t m = 0;
    // Every candidate is written; only pairs advance m, without a branch.
    auto consider = [&](std::size_t b, const StepFrame &g, const Pair &tag, bool real) {
      const double vx = (xyz[3 * b] - xi) + g.t[0];
      const double vy = (xyz[3 * b + 1] - yi) + g.t[1];
      const double vz = (xyz[3 * b + 2] - zi) + g.t[2];
      const double d2 = vx * vx + vy * vy + vz * vz;
      out[m] = F::with(tag, static_cast<std::int64_t>(b));
      m += static_cast<std::size_t>(real & (d2 >= lo) & (d2 < hi) & !((b == a) & is_zero(g.shift)));
    };
    for (const GridStep &step : steps) {
      const StepFrame f = frame(grid, step, a);
      if (!grid.wrapped) {
        const Pair tag = F::tag(f.shift);
        const std::size_t last = step.last;
        for (std::size_t b = step.first; b < last; b += lanes)
          for (std::size_t u = 0; u < lanes; ++u)
            consider(b + u, f, tag, b + u < last);
        continue;
      }
      for (std::size_t b = step.first; b < step.last; ++b) {
        const StepFrame g = frame_to(grid, f, b);
        consider(b, g, F::tag(g.shift), true);
      }
    }
    // Sorted indices to input indices, for the pairs only.
    for (std::size_t k = 0; k < m; ++k)
      out[k] = F::renumber(out[k], order);
    if (m <= 16) {
      for (std::size_t k = 1; k < m; ++k)
        for (std::size_t l = k; l > 0 && F::less(out[l], out[l - 1]); --l)
          std::swap(out[l], out[l - 1]);
    } else {
      std::sort(out, out + m, F::less);
    }
    blocks.commit(m);
    const auto i = static_cast<std::size_t>(order[a]);
    offsets[i + 1] = static_cast<std::int64_t>(m);
    found.where[i] = out;
  };
  run_threads(threads, [&](int t) {
    FoundBlocks<F> &blocks = found.threads[static_cast<std::size_t>(t)];
    std::vector<GridStep> scratch;
    std::vector<GridRow> rows;
    const std::int64_t columns = grid.nbins[2];
    const auto first_bin = static_cast<std::int64_t>(split[static_cast<std::size_t>(t)]);
    const auto end_bin = static_cast<std::int64_t>(split[static_cast<std::size_t>(t) + 1]);
    // Column by column: the rows within reach are the same for all its bins.
    for (std::int64_t column = first_bin / columns; column * columns < end_bin; ++column) {
      const std::int64_t lo = std::max(first_bin, column * columns);
      const std::int64_t hi = std::min(end_bin, column * columns + columns);
      if (grid.bin_start[static_cast<std::size_t>(lo)] ==
          grid.bin_start[static_cast<std::size_t>(hi)])
        continue;
      grid.rows_of(column / grid.nbins[1], column % grid.nbins[1], rows);
      for (std::int64_t bin = lo; bin < hi; ++bin) {
        const auto first = static_cast<std::size_t>(grid.bin_start[static_cast<std::size_t>(bin)]);
        const auto last =
            static_cast<std::size_t>(grid.bin_start[static_cast<std::size_t>(bin) + 1]);
        if (first == last)
          continue;
        const std::span<const GridStep> steps =
            grid.steps_of(rows, bin - column * columns, scratch);
        // Runs are read in blocks of `lanes` candidates (the grid pads its
        // arrays for the last), so that short runs take one pass of a loop
        // whose count the branch predictor knows.
        std::size_t bound = 0;
        for (const GridStep &step : steps)
          bound += (step.last - step.first + lanes - 1) / lanes * lanes;
        if (bound == 0)
          continue;
        for (std::size_t a = first; a < last; ++a)
          atom(a, steps, bound, blocks);
      }
    }
  });
  for (std::size_t k = 0; k < n; ++k)
    offsets[k + 1] += offsets[k];
}

// The writing pass, in input order, each thread a run of atoms of about equal
// pair count, so the arrays are written front to back. The arithmetic is the
// search's, so the distances are those it kept.
template <class F>
void NeighbourSearch::Impl::write(const Found<F> &found, const NeighbourOutput &out) const {
  const std::size_t n = found.where.size();
  const double *r = positions.data();
  std::vector<std::size_t> split(static_cast<std::size_t>(threads) + 1, n);
  split[0] = 0;
  for (int t = 1; t < threads; ++t) {
    const auto share = offsets.back() * t / threads;
    split[static_cast<std::size_t>(t)] = static_cast<std::size_t>(
        std::lower_bound(offsets.begin(), offsets.end() - 1, share) - offsets.begin());
  }
  run_threads(threads, [&](int t) {
    const std::size_t end = split[static_cast<std::size_t>(t) + 1];
    for (std::size_t i = split[static_cast<std::size_t>(t)]; i < end; ++i) {
      auto p = static_cast<std::size_t>(offsets[i]);
      const auto count = static_cast<std::size_t>(offsets[i + 1]) - p;
      if (count == 0)
        continue;
      const typename F::Pair *in = found.where[i];
      const double xi = r[3 * i], yi = r[3 * i + 1], zi = r[3 * i + 2];
      std::array<std::int64_t, 3> shift = F::shift(in[0]);
      std::array<double, 3> t3 = grid.translation_of(shift);
      for (std::size_t k = 0; k < count; ++k, ++p) {
        const std::array<std::int64_t, 3> s = F::shift(in[k]);
        if (s != shift) {
          shift = s;
          t3 = grid.translation_of(shift);
        }
        const std::size_t j = F::atom(in[k]);
        const double vx = (r[3 * j] - xi) + t3[0];
        const double vy = (r[3 * j + 1] - yi) + t3[1];
        const double vz = (r[3 * j + 2] - zi) + t3[2];
        out.i[p] = static_cast<std::int64_t>(i);
        out.j[p] = static_cast<std::int64_t>(j);
        out.distance[p] = std::sqrt(vx * vx + vy * vy + vz * vz);
        for (std::size_t x = 0; x < 3; ++x)
          out.shift[3 * p + x] = shift[x];
        out.vector[3 * p] = vx;
        out.vector[3 * p + 1] = vy;
        out.vector[3 * p + 2] = vz;
      }
    }
  });
}

NeighbourSearch::NeighbourSearch(const Cell &cell, std::span<const double> positions, double cutoff,
                                 const Periodicity &pbc, double r_min, int threads)
    : impl_(std::make_unique<Impl>(NeighbourGrid(cell, positions, cutoff, pbc, r_min, threads),
                                   positions, cutoff, r_min, std::clamp(threads, 1, 64))) {
  // Below a few thousand atoms a second thread costs more than it saves.
  if (positions.size() < 3 * 4096)
    impl_->threads = 1;
}

NeighbourSearch::~NeighbourSearch() = default;
NeighbourSearch::NeighbourSearch(NeighbourSearch &&) noexcept = default;
NeighbourSearch &NeighbourSearch::operator=(NeighbourSearch &&) noexcept = default;

std::size_t NeighbourSearch::count() {
  if (!impl_->counted) {
    impl_->narrow_pairs = impl_->fits_narrow();
    if (impl_->narrow_pairs)
      impl_->search(impl_->narrow);
    else
      impl_->search(impl_->wide);
    impl_->counted = true;
  }
  return static_cast<std::size_t>(impl_->offsets.back());
}

void NeighbourSearch::fill(const NeighbourOutput &out) {
  count();
  if (impl_->narrow_pairs)
    impl_->write(impl_->narrow, out);
  else
    impl_->write(impl_->wide, out);
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
