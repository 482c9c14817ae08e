#include "formats/elements.hpp"

#include <array>
#include <memory>

namespace morvak::formats {

namespace {

constexpr int element_count = crystal::Element_map::size;

// Symbols and the numbers of one- and two-character texts, indexed by the
// two characters (the second 0 for a one-character text), built once.
struct Lookup {
  std::array<crystal::Symbol, element_count + 1> symbols{};
  std::array<std::uint8_t, 1 << 16> by_text{};

  Lookup() {
    crystal::Element_map table;
    table.initialize();
    for (int number = 1; number <= element_count; ++number) {
      const crystal::Symbol symbol = table.get_element_symbol(number);
      symbols[number] = symbol;
      const std::string_view text = symbol.trimmed();
      by_text[key(text)] = static_cast<std::uint8_t>(number);
      // Atomic numbers of one or two digits; three are handled apart.
      const std::string digits = std::to_string(number);
      if (digits.size() <= 2)
        by_text[key(digits)] = static_cast<std::uint8_t>(number);
    }
  }

  static unsigned key(std::string_view text) {
    const auto first = static_cast<unsigned char>(text[0]);
    const auto second = text.size() > 1 ? static_cast<unsigned char>(text[1]) : 0u;
    return first << 8 | second;
  }
};

const Lookup &lookup() {
  static const auto instance = std::make_unique<const Lookup>();
  return *instance;
}

} // namespace

std::uint8_t element_number(std::string_view text) {
  if (text.size() == 1 || text.size() == 2) {
    // A NUL byte would alias the one-character key.
    if (text.size() == 2 && text[1] == '\0')
      return 0;
    return lookup().by_text[Lookup::key(text)];
  }
  if (text.size() == 3 && text[0] == '1' && text[1] >= '0' && text[1] <= '1' && text[2] >= '0' &&
      text[2] <= '9') {
    const int number = 100 + (text[1] - '0') * 10 + (text[2] - '0');
    return number <= element_count ? static_cast<std::uint8_t>(number) : 0;
  }
  return 0;
}

std::string_view element_symbol(std::uint8_t number) {
  return lookup().symbols[number <= element_count ? number : 0].trimmed();
}

} // namespace morvak::formats
