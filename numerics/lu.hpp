#pragma once

#include "blas/memory.hpp"
#include "numerics/common.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <vector>

namespace morvak::detail {

// LU factorisation with partial pivoting (LAPACK getrf) of a square matrix, in place.
// Returns LAPACK's info: 0 on success, k > 0 when U(k-1, k-1) is exactly zero.
template <typename T>
arma::blas_int lu_factorise(arma::Mat<T> &a, std::vector<arma::blas_int> &ipiv) {
  arma::arma_assert_blas_size(a);
  arma::blas_int n = static_cast<arma::blas_int>(a.n_rows);
  arma::blas_int info = 0;
  ipiv.assign(a.n_rows, 0);
  arma::lapack::getrf(&n, &n, a.memptr(), &n, ipiv.data(), &info);
  return info;
}

// The power of two 2^k that brings a matrix of tiny elements (subnormal ones,
// say) up to a largest element in [0.5, 1), or 0 when no scaling is needed.
// getrf divides by its pivots through their reciprocals, which overflow for
// pivots below 2^-1024. Scaling by a power of two is exact.
template <typename T> int upscale_exponent(const arma::Mat<T> &m) {
  double largest = 0;
  for (const T &v : m) {
    largest = std::max({largest, std::abs(std::real(v)), std::abs(std::imag(v))});
    // One element of ordinary size settles it: most matrices stop at the first.
    if (!(largest < 0x1p-900))
      return 0;
  }
  if (largest == 0)
    return 0;
  int e = 0;
  std::frexp(largest, &e);
  return -e;
}

inline double scaled(double v, int k) { return std::ldexp(v, k); }
inline std::complex<double> scaled(std::complex<double> v, int k) {
  return {std::ldexp(v.real(), k), std::ldexp(v.imag(), k)};
}

template <typename T> void scale(arma::Mat<T> &m, int k) {
  if (k != 0)
    m.transform([k](T v) { return scaled(v, k); });
}

// The inverse by LU with partial pivoting for every size (getrf, then getri).
// No closed formula and no symmetry shortcut: those overflow for large entries
// or misjudge symmetry at small scales.
template <typename T> arma::Mat<T> lu_inverse(const arma::Mat<T> &m) {
  if (!m.is_square())
    throw std::logic_error("inv(): given matrix must be square sized");
  if (m.is_empty())
    return arma::Mat<T>();
  // inv(A) = 2^k inv(2^k A)
  const int k = upscale_exponent(m);
  arma::Mat<T> x = m;
  scale(x, k);
  std::vector<arma::blas_int> ipiv;
  if (lu_factorise(x, ipiv) != 0)
    throw std::runtime_error("inv(): matrix is singular");
  arma::blas_int n = static_cast<arma::blas_int>(x.n_rows);
  arma::blas_int info = 0;
  arma::blas_int query_size = -1;
  T query = T(0);
  arma::lapack::getri(&n, x.memptr(), &n, ipiv.data(), &query, &query_size, &info);
  arma::blas_int work_size = std::max(n, static_cast<arma::blas_int>(std::real(query)));
  std::vector<T> work(static_cast<std::size_t>(work_size));
  arma::lapack::getri(&n, x.memptr(), &n, ipiv.data(), work.data(), &work_size, &info);
  if (info != 0)
    throw std::runtime_error("inv(): matrix is singular");
  scale(x, k);
  // An Inf or NaN can cancel out of the elimination (1/Inf is 0); the inverse
  // of such a matrix is undefined, so it must not look like a valid result.
  if (!m.is_finite() && x.is_finite())
    x.fill(std::numeric_limits<double>::quiet_NaN());
  return x;
}

// Running product kept as mantissa times 2^exponent, so that no intermediate
// product overflows or underflows; only the final result is rounded.
class ScaledProduct {
public:
  void times(double v) { mantissa_ = split(mantissa_ * split(v)); }
  void times(std::complex<double> v) {
    cmantissa_ *= normalised(v);
    cmantissa_ = normalised(cmantissa_);
  }
  void times_power_of_two(long long e) { exponent_ += e; }
  double real_value() const { return std::ldexp(mantissa_, clamped()); }
  std::complex<double> complex_value() const {
    return {std::ldexp(cmantissa_.real(), clamped()), std::ldexp(cmantissa_.imag(), clamped())};
  }

private:
  // x scaled by a power of two into [0.5, 1) in magnitude, the power added to
  // the exponent; a subnormal x keeps all its digits.
  double split(double x) {
    if (x == 0 || !std::isfinite(x))
      return x;
    int e = 0;
    x = std::frexp(x, &e);
    exponent_ += e;
    return x;
  }
  // v scaled by a power of two so that its larger part lies in [0.5, 1).
  std::complex<double> normalised(std::complex<double> v) {
    const double big = std::max(std::abs(v.real()), std::abs(v.imag()));
    if (big == 0 || !std::isfinite(big))
      return v;
    int e = 0;
    std::frexp(big, &e);
    exponent_ += e;
    return {std::ldexp(v.real(), -e), std::ldexp(v.imag(), -e)};
  }
  // Far beyond the double range, yet safe to pass to ldexp.
  int clamped() const {
    return static_cast<int>(std::clamp<long long>(exponent_, -100000, 100000));
  }
  double mantissa_ = 1;
  std::complex<double> cmantissa_ = 1;
  long long exponent_ = 0;
};

// The determinant as the signed product of U's diagonal from getrf, for every
// size. A zero pivot gives exactly 0, as numpy's det does.
template <typename T> T lu_det(const arma::Mat<T> &m) {
  if (!m.is_square())
    throw std::logic_error("det(): given matrix must be square sized");
  if (m.is_empty())
    return T(1);
  // det(A) = 2^(-k n) det(2^k A)
  const int k = upscale_exponent(m);
  // The factors live for this call only.
  const blas::TransientBlocks transient;
  arma::Mat<T> lu = m;
  scale(lu, k);
  std::vector<arma::blas_int> ipiv;
  const arma::blas_int info = lu_factorise(lu, ipiv);
  if (info < 0)
    throw std::runtime_error("det(): failed to find determinant");
  if (info > 0)
    return T(0);
  ScaledProduct product;
  product.times_power_of_two(-static_cast<long long>(k) * static_cast<long long>(lu.n_rows));
  bool negative = false;
  for (arma::uword i = 0; i < lu.n_rows; ++i) {
    product.times(lu(i, i));
    // Fortran counts rows from 1.
    if (ipiv[i] - 1 != static_cast<arma::blas_int>(i))
      negative = !negative;
  }
  T value;
  if constexpr (std::is_same_v<T, double>)
    value = product.real_value();
  else
    value = product.complex_value();
  return negative ? T(-value) : value;
}

} // namespace morvak::detail
