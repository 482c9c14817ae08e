#pragma once

#include "numerics/common.hpp"
#include "numerics/eig_gen.hpp"
#include "numerics/lu.hpp"

#include <complex>
#include <memory>
#include <stdexcept>

namespace morvak {

// Dense operator matrix over double or std::complex<double>, together with the
// results of its last Hermitian and last general eigen-decomposition.
//
// Every member is a handle that is never null: copies share the matrix and the
// eigen results. Operations change the existing objects and never replace them.
// The results of transpose, inverse and the arithmetic operators are fresh
// operators whose eigen results start empty.
template <typename T> class Operator {
public:
  using cx = std::complex<double>;

  std::shared_ptr<arma::Mat<T>> matrix;
  std::shared_ptr<arma::Col<double>> sym_eigenvalues;
  std::shared_ptr<arma::Col<cx>> gen_eigenvalues;
  std::shared_ptr<arma::Mat<cx>> gen_eigenvectors;
  std::shared_ptr<arma::Mat<T>> sym_eigenvectors;

  Operator()
      : matrix(std::make_shared<arma::Mat<T>>()),
        sym_eigenvalues(std::make_shared<arma::Col<double>>()),
        gen_eigenvalues(std::make_shared<arma::Col<cx>>()),
        gen_eigenvectors(std::make_shared<arma::Mat<cx>>()),
        sym_eigenvectors(std::make_shared<arma::Mat<T>>()) {}

  // Declared so that no implicit move operations exist: a move copies the
  // handles, and a moved-from operator never holds a null handle.
  Operator(const Operator &) = default;
  Operator &operator=(const Operator &) = default;

  T get(int row, int col) const { return (*matrix)(detail::widen(row), detail::widen(col)); }

  // The value is real for both flavours; the Complex flavour stores (value, 0).
  void set(int row, int col, double value) {
    (*matrix)(detail::widen(row), detail::widen(col)) = T(value);
  }

  // Keeps the storage (and so the values, in storage order) when the element
  // count does not change.
  void set_size(int rows, int cols) { matrix->set_size(shape(rows, cols)); }

  void zeros() { matrix->zeros(); }
  void zeros(int rows, int cols) { matrix->zeros(shape(rows, cols)); }
  void ones() { matrix->ones(); }
  void ones(int rows, int cols) { matrix->ones(shape(rows, cols)); }
  void eye() { matrix->eye(); }
  void eye(int rows, int cols) { matrix->eye(shape(rows, cols)); }
  void randu() { matrix->randu(); }
  void randu(int rows, int cols) { matrix->randu(shape(rows, cols)); }
  void randn() { matrix->randn(); }
  void randn(int rows, int cols) { matrix->randn(shape(rows, cols)); }

  // Conjugate transpose for the Complex flavour.
  Operator transpose() const {
    Operator result;
    *result.matrix = arma::trans(*matrix);
    return result;
  }

  // Conjugates every element of a Complex matrix, the diagonal included.
  void inplace_transpose() { arma::inplace_trans(*matrix); }

  // LU with partial pivoting for every size (numerics/lu.hpp).
  Operator inverse() const {
    Operator result;
    *result.matrix = detail::lu_inverse(*matrix);
    return result;
  }

  T det() const { return detail::lu_det(*matrix); }

  // Exact tests with no tolerance; NaN equals nothing.
  bool is_symmetric() const { return matrix->is_symmetric(); }
  bool is_hermitian() const { return matrix->is_hermitian(); }

  void print() const { detail::print_flushed(*matrix); }

  // Decomposes the matrix with the Hermitian solver when it passes the exact
  // Hermitian test, otherwise with the general solver, and replaces only that
  // solver's pair of results. A failed decomposition leaves its pair empty and
  // throws; the other pair keeps what it held. A non-square matrix is refused
  // by the general solver before anything is written.
  void eigen() {
    if (is_hermitian()) {
      // The vectors keep their block from call to call, so they take huge
      // pages; LAPACK's workspaces are fresh in every call and do not.
      sym_eigenvectors->set_size(matrix->n_rows, matrix->n_cols);
      const blas::TransientBlocks transient;
      // Default method: divide and conquer, with the standard driver as fallback.
      if (!arma::eig_sym(*sym_eigenvalues, *sym_eigenvectors, *matrix))
        fail_decomposition(*sym_eigenvalues, *sym_eigenvectors, "eig_sym(): decomposition failed");
    } else {
      // geev with the workspace it asks for (numerics/eig_gen.hpp).
      if (!detail::general_eigen(*gen_eigenvalues, *gen_eigenvectors, *matrix))
        fail_decomposition(*gen_eigenvalues, *gen_eigenvectors, "eig_gen(): decomposition failed");
    }
  }

  // Prints the pair that the current matrix selects, which need not be the
  // pair that the last eigen() wrote: values, then vectors, with no labels.
  void print_eigen() const {
    if (is_hermitian()) {
      detail::print_flushed(*sym_eigenvalues);
      detail::print_flushed(*sym_eigenvectors);
    } else {
      detail::print_flushed(*gen_eigenvalues);
      detail::print_flushed(*gen_eigenvectors);
    }
  }

private:
  // Checked before Armadillo sees it, so that a refused size changes nothing.
  static arma::SizeMat shape(int rows, int cols) {
    detail::check_size(rows, cols);
    return arma::SizeMat(detail::widen(rows), detail::widen(cols));
  }

  template <typename Values, typename Vectors>
  [[noreturn]] static void fail_decomposition(Values &values, Vectors &vectors,
                                              const char *message) {
    // Armadillo already empties the pair on failure; resetting here keeps the
    // guarantee (0x1 values, 0x0 vectors) independent of its version.
    values.reset();
    vectors.reset();
    throw std::runtime_error(message);
  }
};

template <typename T> Operator<T> operator+(const Operator<T> &a, const Operator<T> &b) {
  Operator<T> result;
  *result.matrix = *a.matrix + *b.matrix;
  return result;
}

template <typename T> Operator<T> operator-(const Operator<T> &a, const Operator<T> &b) {
  Operator<T> result;
  *result.matrix = *a.matrix - *b.matrix;
  return result;
}

template <typename T> Operator<T> operator*(const Operator<T> &a, const Operator<T> &b) {
  Operator<T> result;
  *result.matrix = *a.matrix * *b.matrix;
  return result;
}

} // namespace morvak
