#pragma once
// The integer type of the BLAS and LAPACK interface: the OpenBLAS builds the
// table routes to (the scipy-openblas64 wheel, numpy's copy) take 64-bit
// integers, as Armadillo is told (ARMA_BLAS_LONG_LONG).
namespace morvak::blas {
using integer = long long;
} // namespace morvak::blas
