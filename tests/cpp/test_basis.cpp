#include "numerics/basis.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <stdexcept>
#include <string>

using cplx = std::complex<double>;

template <typename T> class BasisTest : public ::testing::Test {};
using Scalars = ::testing::Types<double, cplx>;
TYPED_TEST_SUITE(BasisTest, Scalars);

template <typename F> std::string logic_error_text(F &&f) {
  try {
    f();
  } catch (const std::logic_error &e) {
    return e.what();
  }
  return "no exception";
}

TYPED_TEST(BasisTest, NewVectorIsEmptyAndRejectsIndexZero) {
  morvak::Basis<TypeParam> b;
  EXPECT_EQ(b.coefficients->n_rows, 0u);
  EXPECT_EQ(b.coefficients->n_cols, 1u);
  EXPECT_THROW(b.get(0), std::out_of_range);
}

TYPED_TEST(BasisTest, NegativeIndexFailsBoundsCheck) {
  morvak::Basis<TypeParam> b;
  b.zeros(3);
  try {
    b.get(-1);
    FAIL() << "no exception";
  } catch (const std::out_of_range &e) {
    EXPECT_STREQ(e.what(), "Mat::operator(): index out of bounds");
  }
  EXPECT_THROW(b.set(3, 1.0), std::out_of_range);
}

TYPED_TEST(BasisTest, FillsAndResize) {
  morvak::Basis<TypeParam> b;
  b.zeros(3);
  EXPECT_EQ(b.get(2), TypeParam(0.0));
  b.ones(2);
  EXPECT_EQ(b.coefficients->n_elem, 2u);
  EXPECT_EQ(b.get(1), TypeParam(1.0));
  b.set_size(3);
  b.set(0, 4.0);
  b.set_size(3);
  EXPECT_EQ(b.get(0), TypeParam(4.0));
}

TYPED_TEST(BasisTest, SetStoresRealValue) {
  morvak::Basis<TypeParam> b;
  b.randn(4);
  b.set(2, -1.5);
  EXPECT_EQ(b.get(2), TypeParam(-1.5));
}

TYPED_TEST(BasisTest, UniformFillStaysInUnitInterval) {
  morvak::Basis<TypeParam> b;
  b.randu(1000);
  ASSERT_EQ(b.coefficients->n_elem, 1000u);
  for (int i = 0; i < 1000; ++i) {
    const cplx v(b.get(i));
    EXPECT_GE(v.real(), 0.0);
    EXPECT_LT(v.real(), 1.0);
    EXPECT_GE(v.imag(), 0.0);
    EXPECT_LT(v.imag(), 1.0);
  }
}

TYPED_TEST(BasisTest, SumAndDifferenceAreFreshVectors) {
  morvak::Basis<TypeParam> a, b;
  a.randu(5);
  b.randu(5);
  const auto sum = a + b;
  const auto diff = a - b;
  EXPECT_NE(sum.coefficients, a.coefficients);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(sum.get(k), a.get(k) + b.get(k));
    EXPECT_EQ(diff.get(k), a.get(k) - b.get(k));
  }
  const auto zero = a - a;
  for (int k = 0; k < 5; ++k)
    EXPECT_EQ(zero.get(k), TypeParam(0.0));
  const auto empty = morvak::Basis<TypeParam>() + morvak::Basis<TypeParam>();
  EXPECT_EQ(empty.coefficients->n_elem, 0u);
}

TYPED_TEST(BasisTest, MismatchedLengthsNameBothSizes) {
  morvak::Basis<TypeParam> a, b, c;
  a.zeros(3);
  b.zeros(4);
  c.zeros(2);
  EXPECT_EQ(logic_error_text([&] { a + b; }),
            "addition: incompatible matrix dimensions: 3x1 and 4x1");
  EXPECT_EQ(logic_error_text([&] { c - morvak::Basis<TypeParam>(); }),
            "subtraction: incompatible matrix dimensions: 2x1 and 0x1");
}

TYPED_TEST(BasisTest, NegativeLengthIsTooLarge) {
  morvak::Basis<TypeParam> b;
  EXPECT_EQ(logic_error_text([&] { b.set_size(-1); }),
            "arma::memory::acquire(): requested size is too large");
  EXPECT_EQ(logic_error_text([&] { b.zeros(-2); }),
            "arma::memory::acquire(): requested size is too large");
}

TEST(BasisComplex, SetClearsImaginaryPart) {
  morvak::Basis<cplx> b;
  b.randn(3);
  b.set(1, 2.5);
  EXPECT_EQ(b.get(1), cplx(2.5, 0.0));
  b.ones(2);
  EXPECT_EQ(b.get(0), cplx(1.0, 0.0));
}

TEST(BasisCopy, CopiesShareTheVector) {
  morvak::Basis<double> a;
  a.zeros(2);
  morvak::Basis<double> b = a;
  b.set(0, 7.0);
  EXPECT_EQ(a.get(0), 7.0);
}
