#include "models/kpm.hpp"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "models/parallel.hpp"

namespace morvak::models {

namespace {

constexpr std::size_t block_rows = 4096;

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::uint64_t draw(std::uint64_t seed, std::uint64_t vector, std::uint64_t site) {
  return splitmix(splitmix(splitmix(seed) ^ vector) + site);
}

// Plain complex arithmetic: std::complex's product guards against inf/nan
// (a library call per element), which halves the speed of the recursion.
inline double mul_re(double a, double b) { return a * b; }
inline double mul_re(cplx a, cplx b) { return a.real() * b.real() - a.imag() * b.imag(); }
inline double mul_im(double, double) { return 0.0; }
inline double mul_im(cplx a, cplx b) { return a.real() * b.imag() + a.imag() * b.real(); }

template <class T> T mul(T a, T b) {
  if constexpr (std::is_same_v<T, double>)
    return a * b;
  else
    return {mul_re(a, b), mul_im(a, b)};
}

inline double norm2(double a) { return a * a; }
inline double norm2(cplx a) { return a.real() * a.real() + a.imag() * a.imag(); }
inline double dot_re(double a, double b) { return a * b; }
inline double dot_re(cplx a, cplx b) { return a.real() * b.real() + a.imag() * b.imag(); }

template <class T> T start_value(std::uint64_t seed, std::uint64_t vector, std::uint64_t site) {
  if constexpr (std::is_same_v<T, double>)
    return random_sign(seed, vector, site);
  else
    return random_phase(seed, vector, site);
}

} // namespace

double random_sign(std::uint64_t seed, std::uint64_t vector, std::uint64_t site) {
  return (draw(seed, vector, site) >> 63) ? -1.0 : 1.0;
}

cplx random_phase(std::uint64_t seed, std::uint64_t vector, std::uint64_t site) {
  const double u = static_cast<double>(draw(seed, vector, site) >> 11) * 0x1.0p-53;
  const double phi = 2.0 * std::numbers::pi * u;
  return {std::cos(phi), std::sin(phi)};
}

template <class T> Interval gershgorin(const CsrView<T> &h) {
  Interval range{INFINITY, -INFINITY};
  for (std::size_t i = 0; i < h.rows; ++i) {
    double centre = 0.0, radius = 0.0;
    for (auto p = h.indptr[i]; p < h.indptr[i + 1]; ++p) {
      if (static_cast<std::size_t>(h.indices[p]) == i)
        centre += std::real(h.data[p]);
      else
        radius += std::abs(h.data[p]);
    }
    range.lower = std::min(range.lower, centre - radius);
    range.upper = std::max(range.upper, centre + radius);
  }
  if (h.rows == 0)
    range = {0.0, 0.0};
  return range;
}

template <class T>
bool kpm_moments(const CsrView<T> &h, double center, double half_width, std::size_t moments,
                 std::uint64_t seed, const std::uint64_t *vector_ids, std::size_t vectors,
                 double *out, const std::function<bool()> &poll, unsigned max_threads) {
  const std::size_t n = h.rows;
  if (!(half_width > 0.0) || !std::isfinite(half_width) || !std::isfinite(center))
    throw std::invalid_argument("KPM needs a finite spectral half-width above zero");
  for (std::size_t i = 0; i < n; ++i)
    for (auto p = h.indptr[i]; p < h.indptr[i + 1]; ++p)
      if (h.indices[p] < 0 || static_cast<std::size_t>(h.indices[p]) >= n)
        throw std::out_of_range("CSR column index out of range in row " + std::to_string(i));
  if (n == 0 || moments == 0 || vectors == 0)
    return true;

  const std::size_t blocks = (n + block_rows - 1) / block_rows;
  const std::size_t steps = (moments + 1) / 2; // step s yields moments 2s and 2s+1
  std::vector<T> first(n), second(n);
  std::vector<double> part_norm(blocks), part_cross(blocks);
  const unsigned threads =
      team_size(max_threads > 0 ? std::min<std::size_t>(blocks, max_threads) : blocks);
  const double inv_width = 1.0 / half_width, inv_n = 1.0 / static_cast<double>(n);

  std::size_t vector = 0, step = 0;
  double mu0 = 0.0, mu1 = 0.0;
  bool halt = false, starting = true;
  std::atomic<const std::atomic<bool> *> stop_flag{nullptr};
  // Runs once per phase, when every thread has finished its rows: after the
  // start vector is made, and after each step of the recursion.
  auto collect = [&]() noexcept {
    const auto *flag = stop_flag.load();
    halt = flag && flag->load();
    if (starting) {
      starting = false;
      return;
    }
    double s_norm = 0.0, s_cross = 0.0;
    for (std::size_t b = 0; b < blocks; ++b) {
      s_norm += part_norm[b];
      s_cross += part_cross[b];
    }
    s_norm *= inv_n;
    s_cross *= inv_n;
    double *mu = out + vector * moments;
    if (step == 0) {
      mu0 = s_norm;
      mu1 = s_cross;
    }
    const double even = step == 0 ? mu0 : 2.0 * s_norm - mu0;
    const double odd = step == 0 ? mu1 : 2.0 * s_cross - mu1;
    mu[2 * step] = even;
    if (2 * step + 1 < moments)
      mu[2 * step + 1] = odd;
    if (++step == steps) {
      step = 0;
      ++vector;
      starting = true;
    }
  };
  std::barrier sync(static_cast<std::ptrdiff_t>(threads), collect);

  const bool stopped = run_team(
      threads,
      [&](unsigned id, const std::atomic<bool> &stop) {
        if (id == 0)
          stop_flag = &stop;
        const std::size_t b0 = blocks * id / threads, b1 = blocks * (id + 1) / threads;
        const std::size_t row0 = b0 * block_rows, row1 = std::min(n, b1 * block_rows);
        for (std::size_t v = 0; v < vectors; ++v) {
          T *cur = first.data(), *prev = second.data();
          for (std::size_t i = row0; i < row1; ++i)
            cur[i] = start_value<T>(seed, vector_ids[v], i);
          sync.arrive_and_wait(); // the start vector is complete before any product
          if (halt)
            return;
          for (std::size_t s = 0; s < steps; ++s) {
            for (std::size_t b = b0; b < b1; ++b) {
              double s_norm = 0.0, s_cross = 0.0;
              const std::size_t end = std::min(n, (b + 1) * block_rows);
              for (std::size_t i = b * block_rows; i < end; ++i) {
                T y{};
                for (auto p = h.indptr[i]; p < h.indptr[i + 1]; ++p)
                  y += mul(h.data[p], cur[h.indices[p]]);
                const T scaled = (y - center * cur[i]) * inv_width;
                const T next = s == 0 ? scaled : 2.0 * scaled - prev[i];
                s_norm += norm2(cur[i]);
                s_cross += dot_re(next, cur[i]);
                prev[i] = next;
              }
              part_norm[b] = s_norm;
              part_cross[b] = s_cross;
            }
            sync.arrive_and_wait();
            if (halt)
              return;
            std::swap(cur, prev);
          }
        }
      },
      poll);
  return !stopped;
}

template Interval gershgorin(const CsrView<double> &);
template Interval gershgorin(const CsrView<cplx> &);
template bool kpm_moments(const CsrView<double> &, double, double, std::size_t, std::uint64_t,
                          const std::uint64_t *, std::size_t, double *,
                          const std::function<bool()> &, unsigned);
template bool kpm_moments(const CsrView<cplx> &, double, double, std::size_t, std::uint64_t,
                          const std::uint64_t *, std::size_t, double *,
                          const std::function<bool()> &, unsigned);

} // namespace morvak::models
