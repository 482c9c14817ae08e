#include "numerics/hamiltonian.hpp"
#include "numerics/operator.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <type_traits>
#include <utility>

using cplx = std::complex<double>;

template <typename T> class OperatorTest : public ::testing::Test {};
using Scalars = ::testing::Types<double, cplx>;
TYPED_TEST_SUITE(OperatorTest, Scalars);

static_assert(std::is_base_of_v<morvak::Operator<cplx>, morvak::Hamiltonian<cplx>>);
static_assert(!std::is_polymorphic_v<morvak::Hamiltonian<double>>);
static_assert(sizeof(morvak::Hamiltonian<double>) == sizeof(morvak::Operator<double>));

template <typename Object> std::pair<arma::uword, arma::uword> shape(const Object &x) {
  return {x.n_rows, x.n_cols};
}

template <typename T> void expect_empty_results(const morvak::Operator<T> &op) {
  EXPECT_EQ(shape(*op.sym_eigenvalues), std::make_pair(0ull, 1ull));
  EXPECT_EQ(shape(*op.sym_eigenvectors), std::make_pair(0ull, 0ull));
  EXPECT_EQ(shape(*op.gen_eigenvalues), std::make_pair(0ull, 1ull));
  EXPECT_EQ(shape(*op.gen_eigenvectors), std::make_pair(0ull, 0ull));
}

TYPED_TEST(OperatorTest, NewOperatorIsEmptyWithItsOwnObjects) {
  morvak::Hamiltonian<TypeParam> op;
  EXPECT_EQ(shape(*op.matrix), std::make_pair(0ull, 0ull));
  expect_empty_results<TypeParam>(op);
  morvak::Operator<TypeParam> other;
  EXPECT_NE(op.matrix, other.matrix);
  EXPECT_NE(static_cast<void *>(op.sym_eigenvectors.get()), op.matrix.get());
}

TYPED_TEST(OperatorTest, CopyAndMoveShareTheObjects) {
  morvak::Operator<TypeParam> a;
  a.zeros(2, 2);
  morvak::Operator<TypeParam> b = std::move(a);
  EXPECT_EQ(a.matrix, b.matrix); // a move copies the handles and never leaves them null
  EXPECT_EQ(a.gen_eigenvectors, b.gen_eigenvectors);
  morvak::Operator<TypeParam> c;
  c = std::move(b);
  c.set(0, 1, 5.0);
  EXPECT_EQ(b.get(0, 1), TypeParam(5.0));
  EXPECT_EQ(a.get(0, 1), TypeParam(5.0));
}

TYPED_TEST(OperatorTest, ResultsAreFreshOperatorsWithoutEigenResults) {
  morvak::Hamiltonian<TypeParam> a;
  a.eye(3, 3);
  a.eigen();
  ASSERT_EQ(a.sym_eigenvalues->n_elem, 3u);
  for (const morvak::Operator<TypeParam> &r : {a.transpose(), a.inverse(), a + a, a - a, a * a}) {
    EXPECT_NE(r.matrix, a.matrix);
    EXPECT_EQ(shape(*r.matrix), std::make_pair(3ull, 3ull));
    expect_empty_results(r);
  }
}
