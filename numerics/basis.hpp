#pragma once

#include "numerics/common.hpp"

#include <complex>
#include <memory>

namespace morvak {

// Dense coefficient vector over double or std::complex<double>.
// Copies share the vector (the handle is copied); results of + and - are fresh.
template <typename T> class Basis {
public:
  std::shared_ptr<arma::Col<T>> coefficients;

  Basis() : coefficients(std::make_shared<arma::Col<T>>()) {}

  T get(int i) const { return (*coefficients)(detail::widen(i)); }

  // The value is real for both flavours; the Complex flavour stores (value, 0).
  void set(int i, double value) { (*coefficients)(detail::widen(i)) = T(value); }

  void set_size(int n) { coefficients->set_size(length(n)); }

  void zeros() { coefficients->zeros(); }
  void zeros(int n) { coefficients->zeros(length(n)); }
  void ones() { coefficients->ones(); }
  void ones(int n) { coefficients->ones(length(n)); }
  void randu() { coefficients->randu(); }
  void randu(int n) { coefficients->randu(length(n)); }
  void randn() { coefficients->randn(); }
  void randn(int n) { coefficients->randn(length(n)); }

  void print() const { detail::print_flushed(*coefficients); }

private:
  static arma::uword length(int n) {
    detail::check_size(n, 1);
    return detail::widen(n);
  }
};

template <typename T> Basis<T> operator+(const Basis<T> &a, const Basis<T> &b) {
  Basis<T> result;
  *result.coefficients = *a.coefficients + *b.coefficients;
  return result;
}

template <typename T> Basis<T> operator-(const Basis<T> &a, const Basis<T> &b) {
  Basis<T> result;
  *result.coefficients = *a.coefficients - *b.coefficients;
  return result;
}

} // namespace morvak
