#include "models/bands.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "blas/integer.hpp"
#include "models/parallel.hpp"

using lapack_int = morvak::blas::integer;

extern "C" void zheevd_(const char *jobz, const char *uplo, const lapack_int *n,
                        morvak::models::cplx *a, const lapack_int *lda, double *w,
                        morvak::models::cplx *work, const lapack_int *lwork, double *rwork,
                        const lapack_int *lrwork, lapack_int *iwork, const lapack_int *liwork,
                        lapack_int *info, std::size_t jobz_len, std::size_t uplo_len);

namespace morvak::models {

namespace {

// Eigenvalues only, of one Hermitian matrix at a time, with workspace kept between calls.
class HermitianSolver {
public:
  explicit HermitianSolver(int n) : n_(n), matrix_(static_cast<std::size_t>(n) * n) {
    lapack_int lwork = -1, lrwork = -1, liwork = -1, info = 0;
    cplx wq;
    double rq;
    lapack_int iq;
    double w;
    zheevd_("N", "L", &n_, matrix_.data(), &n_, &w, &wq, &lwork, &rq, &lrwork, &iq, &liwork, &info,
            1, 1);
    work_.resize(static_cast<std::size_t>(wq.real()) + 1);
    rwork_.resize(static_cast<std::size_t>(rq) + 1);
    iwork_.resize(static_cast<std::size_t>(iq) + 1);
  }
  cplx *matrix() { return matrix_.data(); }
  void solve(double *values) {
    const lapack_int lwork = static_cast<lapack_int>(work_.size()),
                     lrwork = static_cast<lapack_int>(rwork_.size()),
                     liwork = static_cast<lapack_int>(iwork_.size());
    lapack_int info = 0;
    zheevd_("N", "L", &n_, matrix_.data(), &n_, values, work_.data(), &lwork, rwork_.data(),
            &lrwork, iwork_.data(), &liwork, &info, 1, 1);
    if (info != 0)
      throw std::runtime_error("zheevd failed to converge (info " + std::to_string(info) + ")");
  }

private:
  lapack_int n_;
  std::vector<cplx> matrix_, work_;
  std::vector<double> rwork_;
  std::vector<lapack_int> iwork_;
};

} // namespace

template <class T>
bool band_energies(const Terms<T> &terms, const double *kpoints, std::size_t nk, double *energies,
                   const std::function<bool()> &poll, unsigned threads) {
  check_terms(terms);
  const std::size_t n = terms.sites;
  if (n == 0 || nk == 0)
    return true;
  if (n > 46340)
    throw std::length_error("a dense Bloch Hamiltonian of " + std::to_string(n) +
                            " orbitals does not fit LAPACK's 32-bit indices");
  SerialBlas serial;
  std::atomic<std::size_t> next{0};
  const bool stopped = run_team(
      team_size(threads > 0 ? std::min<std::size_t>(nk, threads) : nk),
      [&](unsigned, const std::atomic<bool> &stop) {
        HermitianSolver solver(static_cast<int>(n));
        for (std::size_t q = next++; q < nk && !stop; q = next++) {
          fill_bloch_dense(terms, kpoints + 3 * q, solver.matrix());
          solver.solve(energies + q * n);
        }
      },
      poll);
  return !stopped;
}

template bool band_energies(const Terms<double> &, const double *, std::size_t, double *,
                            const std::function<bool()> &, unsigned);
template bool band_energies(const Terms<cplx> &, const double *, std::size_t, double *,
                            const std::function<bool()> &, unsigned);

} // namespace morvak::models
