#include "numerics/basis.hpp"
#include "numerics/lu.hpp"
#include "numerics/operator.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <system_error>
#include <unistd.h>

using cplx = std::complex<double>;
using morvak::detail::lu_det;
using morvak::detail::lu_inverse;

template <typename T> class LuTest : public ::testing::Test {};
using Scalars = ::testing::Types<double, cplx>;
TYPED_TEST_SUITE(LuTest, Scalars);

// Well-conditioned, not symmetric; scaled across the double range the inverse
// must stay an inverse (a closed 2x2 formula or a symmetric shortcut fails here).
TYPED_TEST(LuTest, InverseHoldsAcrossScales) {
  arma::arma_rng::set_seed(7);
  for (arma::uword n : {2u, 4u, 9u}) {
    arma::Mat<TypeParam> a(n, n, arma::fill::randu);
    a.diag() += TypeParam(n);
    for (double s : {1e-300, 1e-150, 1e-20, 1e-15, 1.0, 1e150, 1e300}) {
      const arma::Mat<TypeParam> as = a * s;
      const arma::Mat<TypeParam> x = lu_inverse(as);
      const double residual = arma::norm(as * x - arma::eye<arma::Mat<TypeParam>>(n, n), "inf");
      EXPECT_LT(residual, 1e-13) << "n=" << n << " scale=" << s;
    }
  }
}

TYPED_TEST(LuTest, DeterminantNeitherOverflowsNorUnderflowsOnTheWay) {
  arma::Mat<TypeParam> a(3, 3, arma::fill::zeros);
  a(0, 1) = 1e200; // a permutation: det = -(1e200 * 1e200 * 1e-300)
  a(1, 0) = 1e200;
  a(2, 2) = 1e-300;
  EXPECT_NEAR(std::real(lu_det(a)), -1e100, 1e86);
  // Subnormal elements: the true determinant underflows to (signed) zero.
  arma::Mat<TypeParam> tiny(2, 2);
  tiny(0, 0) = 1e-310;
  tiny(0, 1) = 2e-310;
  tiny(1, 0) = 3e-310;
  tiny(1, 1) = 4e-310;
  EXPECT_EQ(lu_det(tiny), TypeParam(0));
  // A subnormal matrix with a normal determinant of its exact value.
  const arma::Mat<TypeParam> one = arma::eye<arma::Mat<TypeParam>>(1, 1) * 4e-320;
  EXPECT_EQ(lu_det(one), TypeParam(4e-320));
}

TYPED_TEST(LuTest, SingularAndShapes) {
  EXPECT_THROW(
      {
        try {
          lu_inverse(arma::Mat<TypeParam>(3, 3, arma::fill::zeros));
        } catch (const std::runtime_error &e) {
          EXPECT_STREQ(e.what(), "inv(): matrix is singular");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(lu_det(arma::Mat<TypeParam>(3, 3, arma::fill::ones)), TypeParam(0));
  EXPECT_THROW(lu_inverse(arma::Mat<TypeParam>(2, 3)), std::logic_error);
  EXPECT_THROW(lu_det(arma::Mat<TypeParam>(2, 3)), std::logic_error);
  EXPECT_EQ(lu_det(arma::Mat<TypeParam>()), TypeParam(1));
  EXPECT_TRUE(lu_inverse(arma::Mat<TypeParam>()).is_empty());
}

TYPED_TEST(LuTest, NonFiniteInputNeverGivesAFiniteInverse) {
  const double inf = std::numeric_limits<double>::infinity();
  for (arma::uword n : {1u, 2u, 3u}) {
    arma::Mat<TypeParam> a = arma::eye<arma::Mat<TypeParam>>(n, n);
    a(n - 1, n - 1) = inf; // 1/inf is 0: LU alone would return a finite matrix
    EXPECT_FALSE(lu_inverse(a).is_finite()) << n;
  }
}

TYPED_TEST(LuTest, NegativeSizesChangeNothing) {
  morvak::Operator<TypeParam> op;
  op.eye(2, 3);
  for (auto [rows, cols] : {std::pair{-1, 0}, {0, -5}, {-1, 2}, {-1, 1}, {1, -1}}) {
    EXPECT_THROW(op.set_size(rows, cols), std::logic_error);
    EXPECT_THROW(op.zeros(rows, cols), std::logic_error);
    EXPECT_THROW(op.randn(rows, cols), std::logic_error);
    EXPECT_EQ(op.matrix->n_rows, 2u);
    EXPECT_EQ(op.get(1, 1), TypeParam(1));
  }
  morvak::Basis<TypeParam> b;
  b.ones(3);
  EXPECT_THROW(b.zeros(-1), std::logic_error);
  EXPECT_EQ(b.get(2), TypeParam(1));
}

// A failed write reports its errno, and the next print reaches the stream.
TEST(PrintTest, WriteFailureIsReportedAndCleared) {
  std::fflush(stdout);
  std::cout.flush();
  const int saved = dup(1);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, 1);
  morvak::Operator<double> op;
  op.eye(2, 2);
  int code = 0;
  try {
    op.print();
  } catch (const std::system_error &e) {
    code = e.code().value();
  }
  dup2(saved, 1);
  close(full);
  close(saved);
  EXPECT_EQ(code, ENOSPC);
  EXPECT_TRUE(std::cout.good());
  EXPECT_NO_THROW(op.print());
}
