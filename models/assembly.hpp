// Sparse (CSR) Hamiltonians from the hopping terms of a tight-binding model.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvak::models {

using cplx = std::complex<double>;

// The hoppings of a model, one canonical term per Hermitian pair: term p puts
// value[p] at H[row[p], col[p]] and its conjugate at H[col[p], row[p]], so any
// set of terms gives a Hermitian matrix. bond[3p..3p+2] is the bond vector
// d = r_col + S.cell - r_row of the term, used only for Bloch phases.
template <class T> struct Terms {
  std::size_t sites = 0;
  const double *onsite = nullptr; // `sites` real diagonal values
  std::size_t count = 0;
  const std::int32_t *row = nullptr;
  const std::int32_t *col = nullptr;
  const T *value = nullptr;
  const double *bond = nullptr;
};

// Compressed sparse rows with sorted column indices and no duplicates.
template <class T> struct Csr {
  std::size_t rows = 0;
  std::vector<std::int64_t> indptr;
  std::vector<std::int32_t> indices;
  std::vector<T> data;
};

// Throws std::out_of_range naming the first term whose site index is not in [0, sites).
template <class T> void check_terms(const Terms<T> &terms);

// The real-space Hamiltonian: every periodic image summed (the supercell's Gamma point).
template <class T> Csr<T> assemble(const Terms<T> &terms);

// The Bloch Hamiltonian H(k)[i, j] = sum_S t(i, j, S) exp(i k.d), k Cartesian.
template <class T> Csr<cplx> assemble_bloch(const Terms<T> &terms, const double *k);

// Dense column-major H(k) of size sites x sites (zeroed here), for small cells.
template <class T> void fill_bloch_dense(const Terms<T> &terms, const double *k, cplx *out);

} // namespace morvak::models
