#pragma once

#include "numerics/operator.hpp"

namespace morvak {

// Operator type for model Hamiltonians. It adds no data and no operations:
// a Hamiltonian is stored, decomposed and printed exactly like an Operator.
template <typename T> class Hamiltonian : public Operator<T> {
public:
  Hamiltonian() = default;
};

} // namespace morvak
