// Model assembly, band energies and KPM moments against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

#include "models/assembly.hpp"
#include "models/bands.hpp"
#include "models/kpm.hpp"

namespace mm = morvak::models;
using cplx = std::complex<double>;

namespace {

// A ring of n sites, hopping t between neighbours (bond vectors along x, length 1).
struct Ring {
  std::vector<double> onsite;
  std::vector<std::int32_t> row, col;
  std::vector<cplx> value;
  std::vector<double> bond;
  explicit Ring(int n, cplx t) : onsite(n, 0.0) {
    for (int i = 0; i < n; ++i) {
      row.push_back(i);
      col.push_back((i + 1) % n);
      value.push_back(t);
      bond.insert(bond.end(), {1.0, 0.0, 0.0});
    }
  }
  mm::Terms<cplx> terms() const {
    return {onsite.size(), onsite.data(), row.size(), row.data(),
            col.data(),    value.data(),  bond.data()};
  }
};

} // namespace

TEST(Assembly, RingIsHermitianWithSortedUniqueColumns) {
  const Ring ring(5, cplx(0.3, 0.4));
  const auto csr = mm::assemble(ring.terms());
  ASSERT_EQ(csr.indptr.back(), 10);
  for (std::size_t i = 0; i < 5; ++i) {
    ASSERT_EQ(csr.indptr[i + 1] - csr.indptr[i], 2);
    EXPECT_LT(csr.indices[csr.indptr[i]], csr.indices[csr.indptr[i] + 1]);
  }
  // H[0, 1] = t and H[1, 0] = conj(t).
  EXPECT_EQ(csr.data[csr.indptr[0]], cplx(0.3, 0.4));
  EXPECT_EQ(csr.data[csr.indptr[1]], cplx(0.3, -0.4));
}

TEST(Assembly, DuplicatesSumAndBadIndicesThrow) {
  Ring ring(2, cplx(1.0, 0.0)); // both terms join sites 0 and 1
  const auto csr = mm::assemble(ring.terms());
  EXPECT_EQ(csr.indptr.back(), 2);
  EXPECT_EQ(csr.data[0], cplx(2.0, 0.0));
  ring.col[1] = 7;
  EXPECT_THROW(mm::assemble(ring.terms()), std::out_of_range);
}

TEST(Bands, RingEnergiesAreCosines) {
  // One site per cell with a bond to its right neighbour: E(k) = 2 Re(t e^{ik}).
  const Ring cell(1, cplx(-1.0, 0.0));
  std::vector<double> k, energies(3);
  for (double kx : {0.0, 1.0, 2.5})
    k.insert(k.end(), {kx, 0.0, 0.0});
  ASSERT_TRUE(mm::band_energies(cell.terms(), k.data(), 3, energies.data(), nullptr));
  EXPECT_NEAR(energies[0], -2.0, 1e-14);
  EXPECT_NEAR(energies[1], -2.0 * std::cos(1.0), 1e-14);
  EXPECT_NEAR(energies[2], -2.0 * std::cos(2.5), 1e-14);
}

TEST(Kpm, DiagonalMomentsAreChebyshevValuesForAnyVector) {
  // For diagonal H, <r|T_n(H)|r> = sum_i |r_i|^2 T_n(h_i) whatever the phases.
  const std::vector<double> diag{-0.9, -0.2, 0.1, 0.7, 0.95};
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  for (std::size_t i = 0; i < diag.size(); ++i) {
    indices.push_back(static_cast<std::int32_t>(i));
    indptr.push_back(static_cast<std::int64_t>(i + 1));
  }
  const std::vector<cplx> cdiag(diag.begin(), diag.end());
  const mm::CsrView<double> real{diag.size(), indptr.data(), indices.data(), diag.data()};
  const mm::CsrView<cplx> complex{diag.size(), indptr.data(), indices.data(), cdiag.data()};
  const std::size_t moments = 9;
  const std::vector<std::uint64_t> ids{0, 5};
  std::vector<double> mu_real(ids.size() * moments), mu_complex(ids.size() * moments);
  ASSERT_TRUE(mm::kpm_moments(real, 0.0, 1.0, moments, 17, ids.data(), ids.size(), mu_real.data(),
                              nullptr));
  ASSERT_TRUE(mm::kpm_moments(complex, 0.0, 1.0, moments, 17, ids.data(), ids.size(),
                              mu_complex.data(), nullptr));
  for (std::size_t n = 0; n < moments; ++n) {
    double expected = 0.0;
    for (double h : diag)
      expected += std::cos(static_cast<double>(n) * std::acos(h)) / diag.size();
    for (std::size_t v = 0; v < ids.size(); ++v) {
      EXPECT_NEAR(mu_real[v * moments + n], expected, 1e-13) << "n " << n;
      EXPECT_NEAR(mu_complex[v * moments + n], expected, 1e-13) << "n " << n;
    }
  }
  const auto range = mm::gershgorin(real);
  EXPECT_EQ(range.lower, -0.9);
  EXPECT_EQ(range.upper, 0.95);
}
