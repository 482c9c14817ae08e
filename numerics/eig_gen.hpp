#pragma once

#include "numerics/common.hpp"

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace morvak::detail {

// The general eigen-decomposition as Armadillo's eig_gen does it (LAPACK geev,
// right eigenvectors only, the same checks and the same layout of results),
// but with the workspace LAPACK asks for instead of a fixed 64n. The blocked
// Hessenberg reduction then runs with its preferred block size, as in numpy's
// eig. False when the matrix has a non-finite element or LAPACK fails.
template <typename T>
bool general_eigen(arma::Col<std::complex<double>> &values,
                   arma::Mat<std::complex<double>> &vectors, const arma::Mat<T> &m) {
  using cx = std::complex<double>;
  if (!m.is_square())
    throw std::logic_error("eig_gen(): given matrix must be square sized");
  arma::arma_assert_blas_size(m);
  if (m.is_empty()) {
    values.reset();
    vectors.reset();
    return true;
  }
  if (m.has_nonfinite())
    return false;
  arma::Mat<T> x = m;
  char jobvl = 'N', jobvr = 'V';
  arma::blas_int n = static_cast<arma::blas_int>(x.n_rows), one = 1, info = 0, query_size = -1;
  T junk = T(0), query = T(0);
  values.set_size(x.n_rows);
  vectors.set_size(x.n_rows, x.n_rows);
  if constexpr (std::is_same_v<T, double>) {
    arma::Mat<double> right(x.n_rows, x.n_rows);
    std::vector<double> real(x.n_rows), imag(x.n_rows);
    arma::lapack::geev(&jobvl, &jobvr, &n, x.memptr(), &n, real.data(), imag.data(), &junk, &one,
                       right.memptr(), &n, &query, &query_size, &info);
    arma::blas_int work_size = std::max<arma::blas_int>(4 * n, static_cast<arma::blas_int>(query));
    std::vector<double> work(static_cast<std::size_t>(work_size));
    arma::lapack::geev(&jobvl, &jobvr, &n, x.memptr(), &n, real.data(), imag.data(), &junk, &one,
                       right.memptr(), &n, work.data(), &work_size, &info);
    if (info != 0)
      return false;
    for (arma::uword i = 0; i < x.n_rows; ++i)
      values[i] = cx(real[i], imag[i]);
    // A complex pair (j, j+1) comes as the real and imaginary parts of the
    // first vector; the second is its conjugate.
    for (arma::uword j = 0; j < x.n_rows; ++j) {
      if (j + 1 < x.n_rows && values[j] == std::conj(values[j + 1])) {
        for (arma::uword i = 0; i < x.n_rows; ++i) {
          vectors.at(i, j) = cx(right.at(i, j), right.at(i, j + 1));
          vectors.at(i, j + 1) = cx(right.at(i, j), -right.at(i, j + 1));
        }
        ++j;
      } else {
        for (arma::uword i = 0; i < x.n_rows; ++i)
          vectors.at(i, j) = cx(right.at(i, j), 0.0);
      }
    }
  } else {
    std::vector<double> rwork(2 * x.n_rows);
    arma::lapack::cx_geev(&jobvl, &jobvr, &n, x.memptr(), &n, values.memptr(), &junk, &one,
                          vectors.memptr(), &n, &query, &query_size, rwork.data(), &info);
    arma::blas_int work_size =
        std::max<arma::blas_int>(2 * n, static_cast<arma::blas_int>(query.real()));
    std::vector<cx> work(static_cast<std::size_t>(work_size));
    arma::lapack::cx_geev(&jobvl, &jobvr, &n, x.memptr(), &n, values.memptr(), &junk, &one,
                          vectors.memptr(), &n, work.data(), &work_size, rwork.data(), &info);
    if (info != 0)
      return false;
  }
  return true;
}

} // namespace morvak::detail
