#pragma once

#include "crystal/fixed_text.hpp"

#include <array>
#include <cstdint>
#include <string_view>

namespace morvak::crystal {

using Symbol = FixedText<2>;

struct Element {
  std::int32_t number = 0;
  double mass = 0.0;
  Symbol symbol; // one-letter symbols carry a trailing blank: "H "
};

// The 118 chemical elements; elements[i - 1] describes atomic number i.
// A plain value: no content until initialize() has run on it.
struct Element_map {
  static constexpr int size = 118;
  std::array<Element, size> elements;

  // Atomic number of the entry whose symbol equals `symbol` as blank-padded
  // text (case-sensitive, leading blanks count), or 0 when none does.
  std::int32_t get_element_number(std::string_view symbol) const;
  // Symbol of atomic number `number`; throws std::out_of_range outside 1..118.
  Symbol get_element_symbol(std::int32_t number) const;
  void initialize();
};

} // namespace morvak::crystal
