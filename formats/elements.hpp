#pragma once

#include "crystal/element.hpp"

#include <cstdint>
#include <string_view>

namespace morvak::formats {

// Atomic number of the element written as `text`: a symbol as the element
// table writes it ("Si", "H") or an atomic number from 1 to 118; 0 for
// anything else. Thread-safe.
std::uint8_t element_number(std::string_view text);

// Symbol of atomic number `number` (1 to 118), without padding.
std::string_view element_symbol(std::uint8_t number);

} // namespace morvak::formats
