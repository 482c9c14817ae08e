#pragma once

#include "crystal/element.hpp"

#include <string>
#include <vector>

namespace pelmar {

// The chemical formula of the atoms in Hill order: with carbon present, C
// first, then H, then the other elements alphabetically; without carbon, all
// elements alphabetically. A count of one is left out: "C2H6O", "O2Si", "Si8".
std::string hill_formula(const std::vector<morvak::crystal::Symbol> &symbols);

} // namespace pelmar
