// Band energies: the dense Bloch Hamiltonian diagonalised by LAPACK at each k.
#pragma once

#include <functional>

#include "models/assembly.hpp"

namespace morvak::models {

// Eigenvalues (ascending) of H(k) at the `nk` Cartesian wave vectors kpoints[3q..3q+2],
// written to energies[q * sites .. (q + 1) * sites). The k-points are shared out over
// the hardware's threads (at most `threads` of them, unless 0), each running a serial
// LAPACK solve per point, so the values do not depend on how many threads ran.
// Returns false when poll() asked to stop.
template <class T>
bool band_energies(const Terms<T> &terms, const double *kpoints, std::size_t nk, double *energies,
                   const std::function<bool()> &poll, unsigned threads = 0);

} // namespace morvak::models
