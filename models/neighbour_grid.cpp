#include "models/neighbour_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>

namespace morvak::models {

namespace {

using Vec = std::array<double, 3>;

double dot(const Vec &a, const Vec &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec &a) { return std::sqrt(dot(a, a)); }

Vec row(const Cell &cell, int k) { return {cell[3 * k], cell[3 * k + 1], cell[3 * k + 2]}; }

// Component of v orthogonal to the orthonormal vectors `basis`.
Vec residual(Vec v, const std::vector<Vec> &basis) {
  for (const Vec &e : basis) {
    const double p = dot(v, e);
    for (int x = 0; x < 3; ++x)
      v[x] -= p * e[x];
  }
  return v;
}

std::string number(double v) {
  std::ostringstream out;
  out.precision(17);
  out << v;
  return out.str();
}

// Bins are made this much thicker than the cutoff, so that rounding in the
// fractional coordinates cannot move a neighbour beyond the bins searched.
constexpr double slack = 1.0 + 1e-8;

// Binning basis: cell vectors on periodic axes, and on open axes unit vectors
// orthogonal to the periodic ones (the open axes' cell vectors may be zero).
std::array<Vec, 3> binning_basis(const Cell &cell, const Periodicity &pbc) {
  std::array<Vec, 3> basis{};
  std::vector<Vec> orthonormal;
  std::vector<int> periodic;
  for (int k = 0; k < 3; ++k) {
    if (!pbc[k])
      continue;
    const Vec a = row(cell, k);
    const double length = norm(a);
    if (length == 0.0)
      throw std::invalid_argument("cell vector " + std::to_string(k) + " is zero, but axis " +
                                  std::to_string(k) + " is periodic");
    const Vec r = residual(a, orthonormal);
    const double rest = norm(r);
    if (rest <= 1e-10 * length) {
      std::string others;
      for (int p : periodic)
        others += (others.empty() ? "" : " and ") + std::to_string(p);
      throw std::invalid_argument(
          "cell vector " + std::to_string(k) + " lies in the span of cell vector" +
          (periodic.size() > 1 ? "s " : " ") + others +
          ": the cell is degenerate along periodic axis " + std::to_string(k));
    }
    orthonormal.push_back({r[0] / rest, r[1] / rest, r[2] / rest});
    periodic.push_back(k);
    basis[k] = a;
  }
  for (int k = 0; k < 3; ++k) {
    if (pbc[k])
      continue;
    Vec best{};
    double best_norm = -1.0;
    for (int x = 0; x < 3; ++x) {
      Vec unit{};
      unit[x] = 1.0;
      const Vec r = residual(unit, orthonormal);
      if (norm(r) > best_norm) {
        best = r;
        best_norm = norm(r);
      }
    }
    const Vec e{best[0] / best_norm, best[1] / best_norm, best[2] / best_norm};
    orthonormal.push_back(e);
    basis[k] = e;
  }
  return basis;
}

// Columns of the inverse of the matrix whose rows are `basis`: the reciprocal
// vectors, with dot(r, reciprocal[k]) the coordinate of r along axis k.
std::array<Vec, 3> reciprocal(const std::array<Vec, 3> &b) {
  const Vec c0{b[1][1] * b[2][2] - b[1][2] * b[2][1], b[1][2] * b[2][0] - b[1][0] * b[2][2],
               b[1][0] * b[2][1] - b[1][1] * b[2][0]};
  const Vec c1{b[2][1] * b[0][2] - b[2][2] * b[0][1], b[2][2] * b[0][0] - b[2][0] * b[0][2],
               b[2][0] * b[0][1] - b[2][1] * b[0][0]};
  const Vec c2{b[0][1] * b[1][2] - b[0][2] * b[1][1], b[0][2] * b[1][0] - b[0][0] * b[1][2],
               b[0][0] * b[1][1] - b[0][1] * b[1][0]};
  const double det = dot(b[0], c0);
  std::array<Vec, 3> rec{};
  for (int x = 0; x < 3; ++x) {
    rec[0][x] = c0[x] / det;
    rec[1][x] = c1[x] / det;
    rec[2][x] = c2[x] / det;
  }
  return rec;
}

std::int64_t floor_div(std::int64_t a, std::int64_t n) {
  const std::int64_t q = a / n;
  return (a % n != 0 && a < 0) ? q - 1 : q;
}

} // namespace

NeighbourGrid::NeighbourGrid(const Cell &cell_, std::span<const double> positions, double cutoff,
                             const Periodicity &pbc_, double r_min, int threads)
    : cell(cell_), pbc(pbc_) {
  if (!(cutoff > 0.0) || !std::isfinite(cutoff))
    throw std::invalid_argument("cutoff must be a positive finite number, found " + number(cutoff));
  if (!(r_min >= 0.0) || !std::isfinite(r_min))
    throw std::invalid_argument("r_min must be a non-negative finite number, found " +
                                number(r_min));
  if (positions.size() % 3 != 0)
    throw std::invalid_argument("positions must hold 3 coordinates per atom, found " +
                                std::to_string(positions.size()) + " values");
  for (int k = 0; k < 9; ++k)
    if (!std::isfinite(cell[k]))
      throw std::invalid_argument("cell vector " + std::to_string(k / 3) +
                                  " has a non-finite component " + number(cell[k]));
  const std::size_t n = positions.size() / 3;
  const std::array<Vec, 3> rec = reciprocal(binning_basis(cell, pbc));

  auto coordinate = [&](std::size_t a, int k) {
    return positions[3 * a] * rec[k][0] + positions[3 * a + 1] * rec[k][1] +
           positions[3 * a + 2] * rec[k][2];
  };
  // Open axes: the atoms' range of coordinates; periodic axes: the unit cell.
  Vec low{0, 0, 0}, span{1, 1, 1};
  for (std::size_t a = 0; a < n; ++a)
    for (int x = 0; x < 3; ++x)
      if (!std::isfinite(positions[3 * a + x]))
        throw std::invalid_argument("position of atom " + std::to_string(a) +
                                    " is not finite: coordinate " + std::to_string(x) + " is " +
                                    number(positions[3 * a + x]));
  for (int k = 0; k < 3; ++k) {
    if (pbc[k] || n == 0)
      continue;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t a = 0; a < n; ++a) {
      const double c = coordinate(a, k);
      lo = std::min(lo, c);
      hi = std::max(hi, c);
    }
    low[k] = lo;
    span[k] = hi - lo;
  }
  // Thickness of the binned region along each axis, perpendicular to the faces.
  Vec thickness{};
  for (int k = 0; k < 3; ++k)
    thickness[k] = span[k] / norm(rec[k]);

  // Two bins per atom at most keep memory O(N), with room for empty bins
  // (vacuum in the cell) before the bins must grow; bigger bins stay correct.
  const double cap = 2.0 * static_cast<double>(std::max<std::size_t>(n, 1));
  for (int k = 0; k < 3; ++k)
    nbins[k] = static_cast<std::int64_t>(
        std::clamp(std::floor(thickness[k] / (cutoff * slack)), 1.0, cap));
  while (static_cast<double>(nbins[0]) * static_cast<double>(nbins[1]) *
             static_cast<double>(nbins[2]) >
         cap) {
    const int k = static_cast<int>(std::max_element(nbins.begin(), nbins.end()) - nbins.begin());
    nbins[k] = std::max<std::int64_t>(1, nbins[k] * 3 / 4);
  }
  double images = 1.0;
  for (int k = 0; k < 3; ++k) {
    const double needed =
        thickness[k] > 0.0
            ? std::ceil(cutoff * slack * static_cast<double>(nbins[k]) / thickness[k])
            : 0.0;
    if (pbc[k]) {
      if (needed > 1e6)
        throw std::invalid_argument("cutoff " + number(cutoff) +
                                    " spans more than a million cells along axis " +
                                    std::to_string(k));
      reach[k] = static_cast<std::int64_t>(needed);
    } else {
      reach[k] =
          std::min<std::int64_t>(nbins[k] - 1, static_cast<std::int64_t>(std::min(needed, 1e18)));
    }
    images *= static_cast<double>(2 * reach[k] + 1);
  }
  if (images > 1e12)
    throw std::invalid_argument("cutoff " + number(cutoff) +
                                " reaches too many periodic images of the cell");

  // Bin of each atom, then a counting sort into bin order (stable in input order).
  const std::int64_t total = nbins[0] * nbins[1] * nbins[2];
  std::vector<std::int64_t> bin_of(n);
  bin_start.assign(static_cast<std::size_t>(total) + 1, 0);
  auto locate = [&](std::size_t a, std::array<std::int32_t, 3> &wrap) {
    std::int64_t bin = 0;
    for (int k = 0; k < 3; ++k) {
      double f = coordinate(a, k);
      wrap[k] = 0;
      if (pbc[k]) {
        const double w = std::floor(f);
        if (std::abs(w) >= 2147483647.0)
          throw std::invalid_argument("position of atom " + std::to_string(a) +
                                      " lies more than 2^31 cells away along axis " +
                                      std::to_string(k));
        f -= w;
        wrap[k] = static_cast<std::int32_t>(w);
        if (f >= 1.0) { // a tiny negative coordinate rounds to 1 after the shift
          f = 0.0;
          wrap[k] += 1;
        }
      } else {
        f = span[k] > 0.0 ? (f - low[k]) / span[k] : 0.0;
      }
      const auto b = static_cast<std::int64_t>(f * static_cast<double>(nbins[k]));
      bin = bin * nbins[k] + std::clamp<std::int64_t>(b, 0, nbins[k] - 1);
    }
    return bin;
  };
  // Each thread takes a share of the atoms to bin them, then a share of the
  // bins to count and place their atoms, so that no two write one entry and
  // the sort stays stable.
  const int workers = n < 32768 ? 1 : std::clamp(threads, 1, 64);
  const auto atoms_of = [&](int t) {
    return n * static_cast<std::size_t>(t) / static_cast<std::size_t>(workers);
  };
  const auto bins_of = [&](int t) { return total * t / workers; };
  std::vector<char> outside(static_cast<std::size_t>(workers), 0);
  run_threads(workers, [&](int t) {
    std::array<std::int32_t, 3> wrap{};
    bool any = false;
    for (std::size_t a = atoms_of(t); a < atoms_of(t + 1); ++a) {
      bin_of[a] = locate(a, wrap);
      any = any || (wrap[0] | wrap[1] | wrap[2]) != 0;
    }
    outside[static_cast<std::size_t>(t)] = any;
  });
  wrapped = std::find(outside.begin(), outside.end(), 1) != outside.end();
  run_threads(workers, [&](int t) {
    const std::int64_t lo = bins_of(t), hi = bins_of(t + 1);
    for (std::size_t a = 0; a < n; ++a)
      if (bin_of[a] >= lo && bin_of[a] < hi)
        ++bin_start[static_cast<std::size_t>(bin_of[a]) + 1];
  });
  for (std::size_t b = 0; b < static_cast<std::size_t>(total); ++b)
    bin_start[b + 1] += bin_start[b];
  order.resize(n);
  sorted_positions.assign(3 * (n + padding), 0.0);
  if (wrapped)
    wraps.resize(3 * n);
  std::vector<std::int64_t> cursor(bin_start.begin(), bin_start.end() - 1);
  run_threads(workers, [&](int t) {
    const std::int64_t lo = bins_of(t), hi = bins_of(t + 1);
    std::array<std::int32_t, 3> wrap{};
    for (std::size_t a = 0; a < n; ++a) {
      if (bin_of[a] < lo || bin_of[a] >= hi)
        continue;
      const auto s = static_cast<std::size_t>(cursor[static_cast<std::size_t>(bin_of[a])]++);
      order[s] = static_cast<std::int64_t>(a);
      for (int x = 0; x < 3; ++x)
        sorted_positions[3 * s + x] = positions[3 * a + x];
      if (wrapped) {
        locate(a, wrap);
        for (int x = 0; x < 3; ++x)
          wraps[3 * s + x] = wrap[x];
      }
    }
  });
  tabulate_steps();
}

void NeighbourGrid::tabulate_steps() {
  // Signed zeros: a component is -0.0 when the cell's column is all negative.
  zero_translation = translation(cell, {0, 0, 0});
  for (int k = 0; k < 2; ++k) {
    const std::int64_t size = nbins[k] + 2 * reach[k];
    neighbour_bin[k].resize(static_cast<std::size_t>(size));
    neighbour_shift[k].resize(static_cast<std::size_t>(size));
    for (std::int64_t t = -reach[k]; t < nbins[k] + reach[k]; ++t) {
      const auto at = static_cast<std::size_t>(t + reach[k]);
      const std::int64_t shift = pbc[k] ? floor_div(t, nbins[k]) : 0;
      const bool inside = pbc[k] || (t >= 0 && t < nbins[k]);
      neighbour_bin[k][at] = inside ? t - shift * nbins[k] : -1;
      neighbour_shift[k][at] = shift;
    }
  }
  // Along axis 2 the bins b2 - reach .. b2 + reach, unrolled over the images,
  // fall into a few runs of consecutive bins, one per image.
  runs2_start.assign(1, 0);
  for (std::int64_t b2 = 0; b2 < nbins[2]; ++b2) {
    std::int64_t lo = b2 - reach[2], hi = b2 + reach[2];
    if (!pbc[2]) {
      lo = std::max<std::int64_t>(lo, 0);
      hi = std::min(hi, nbins[2] - 1);
    }
    const std::int64_t first_image = pbc[2] ? floor_div(lo, nbins[2]) : 0;
    const std::int64_t last_image = pbc[2] ? floor_div(hi, nbins[2]) : 0;
    for (std::int64_t image = first_image; image <= last_image; ++image)
      runs2.push_back({std::max(lo, image * nbins[2]) - image * nbins[2],
                       std::min(hi, image * nbins[2] + nbins[2] - 1) - image * nbins[2], image});
    runs2_start.push_back(runs2.size());
  }
}

void NeighbourGrid::rows_of(std::int64_t b0, std::int64_t b1, std::vector<GridRow> &rows) const {
  rows.clear();
  // Index t + reach[k] in the tables is bin b_k + t - reach[k]... b_k + reach[k].
  for (auto t0 = static_cast<std::size_t>(b0); t0 <= static_cast<std::size_t>(b0 + 2 * reach[0]);
       ++t0) {
    const std::int64_t n0 = neighbour_bin[0][t0];
    if (n0 < 0)
      continue;
    for (auto t1 = static_cast<std::size_t>(b1); t1 <= static_cast<std::size_t>(b1 + 2 * reach[1]);
         ++t1) {
      const std::int64_t n1 = neighbour_bin[1][t1];
      if (n1 >= 0)
        rows.push_back(
            {(n0 * nbins[1] + n1) * nbins[2], neighbour_shift[0][t0], neighbour_shift[1][t1]});
    }
  }
}

std::span<const GridStep> NeighbourGrid::steps_of(std::span<const GridRow> rows, std::int64_t b2,
                                                  std::vector<GridStep> &steps) const {
  const Run *run_first = runs2.data() + runs2_start[static_cast<std::size_t>(b2)];
  const Run *run_last = runs2.data() + runs2_start[static_cast<std::size_t>(b2) + 1];
  const auto most = rows.size() * static_cast<std::size_t>(run_last - run_first);
  if (steps.size() < most)
    steps.resize(most);
  GridStep *out = steps.data();
  std::size_t m = 0;
  const std::int64_t *start = bin_start.data();
  for (const GridRow &row : rows) {
    for (const Run *run = run_first; run != run_last; ++run) {
      const auto first = static_cast<std::size_t>(start[row.first_bin + run->from]);
      const auto last = static_cast<std::size_t>(start[row.first_bin + run->to + 1]);
      // Runs with the same shift that meet in memory (rows of a thin grid) merge.
      if (m > 0 && out[m - 1].last == first && first != last && out[m - 1].shift[0] == row.shift0 &&
          out[m - 1].shift[1] == row.shift1 && out[m - 1].shift[2] == run->image) {
        out[m - 1].last = last;
        continue;
      }
      // Written always, kept only when it holds atoms: no branch on the count.
      out[m].first = first;
      out[m].last = last;
      out[m].shift = {row.shift0, row.shift1, run->image};
      m += static_cast<std::size_t>(first != last);
    }
  }
  // Translations last, for the kept steps only.
  for (std::size_t k = 0; k < m; ++k)
    out[k].translation = translation_of(out[k].shift);
  return {out, m};
}

} // namespace morvak::models
