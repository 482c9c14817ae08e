// Kernel polynomial method: Chebyshev moments of the density of states by a
// stochastic trace over random-phase vectors, on a sparse Hamiltonian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "models/assembly.hpp"

namespace morvak::models {

// A read-only view of a square CSR matrix (sorted or not; no dense copy is made).
template <class T> struct CsrView {
  std::size_t rows = 0;
  const std::int64_t *indptr = nullptr;
  const std::int32_t *indices = nullptr;
  const T *data = nullptr;
};

struct Interval {
  double lower = 0.0, upper = 0.0;
};

// Gershgorin discs: every eigenvalue of h lies in [lower, upper].
template <class T> Interval gershgorin(const CsrView<T> &h);

// Component `site` of random vector `vector` of stream `seed`: a counter-based
// hash, so each vector is the same whichever process or thread makes it. The
// sign variant gives +-1, the phase variant exp(i phi) with phi uniform.
double random_sign(std::uint64_t seed, std::uint64_t vector, std::uint64_t site);
cplx random_phase(std::uint64_t seed, std::uint64_t vector, std::uint64_t site);

// Moments mu_n = <r|T_n(H~)|r> / rows, n < moments, of H~ = (H - center) / half_width,
// for each random vector r with index vector_ids[v] (sign vectors for real T,
// phase vectors for complex T); written to out[v * moments + n]. Rows are cut into
// fixed blocks summed in order, so the moments do not depend on the thread count
// (the hardware's, at most `threads` unless 0). Returns false when poll() asked to stop.
template <class T>
bool kpm_moments(const CsrView<T> &h, double center, double half_width, std::size_t moments,
                 std::uint64_t seed, const std::uint64_t *vector_ids, std::size_t vectors,
                 double *out, const std::function<bool()> &poll, unsigned threads = 0);

} // namespace morvak::models
