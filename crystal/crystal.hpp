#pragma once

#include "crystal/element.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace morvak::crystal {

using Vec3 = std::array<double, 3>;

// One periodic structure. The per-atom arrays are absent until created and
// are deep-copied with the record; an absent array stays absent in a copy.
struct Crystal {
  std::array<Vec3, 3> cell{}; // cell[i][j]: component j (x, y, z) of cell vector i
  std::int32_t natom = 0;
  std::optional<std::vector<Symbol>> name; // element symbol of each atom
  std::optional<std::vector<Vec3>> xyz;    // Cartesian coordinates of each atom

  // Drops both arrays, marking them absent.
  void release() {
    name.reset();
    xyz.reset();
  }
};

} // namespace morvak::crystal
