#pragma once

#include "crystal/crystal.hpp"
#include "crystal/element.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace morvak::crystal {

// Reads the common atom record, an element and three reals parted by blanks
// or a comma on one line, straight from the text. Anything else (quotes, empty
// items, slashes, repeat counts, a record spread over lines, a blank line, a
// bad item) is refused and left to the item-by-item reader, which then reads
// it, or reports it, exactly as it would have anyway. The items taken here are
// the texts that reader would hand out, and their values agree bit for bit.
// One parser per thread: it keeps the last symbol looked up.
class PlainAtoms {
public:
  // No atom record is shorter than this ("1 0 0 0" and a line end).
  static constexpr std::size_t shortest_record = 8;

  explicit PlainAtoms(const Element_map &table) : table_(table) {}

  // Plain records, one per line, from the start of `text` (whole lines, the
  // last perhaps without its line end), at most `max_atoms` of them, appended
  // to `names` and `xyz`. Returns how many it took; `taken_bytes` is set to
  // the length of their lines.
  std::size_t take_lines(std::string_view text, std::size_t max_atoms, std::vector<Symbol> &names,
                         std::vector<Vec3> &xyz, std::size_t &taken_bytes);

  // The element whose symbol `text` is (blank-padded comparison), if any.
  std::optional<Symbol> element_symbol(std::string_view text);

private:
  // The element at the start of `line` (leading blanks allowed), in `name`;
  // returns where its item ends, or nullptr when it is no element.
  const char *take_element(const char *line, const char *end, Symbol &name);

  const Element_map &table_;
  Symbol last_symbol_;
  std::int32_t last_number_ = 0;
  // The first prefix_length_ + 1 bytes of the line whose element was read
  // last (those under prefix_mask_), when they held the item and its end,
  // and the element they name.
  std::uint64_t prefix_word_ = 1;
  std::uint64_t prefix_mask_ = 0;
  unsigned prefix_length_ = 0;
  Symbol prefix_symbol_;
};

} // namespace morvak::crystal
