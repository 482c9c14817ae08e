#include "crystal/free_form.hpp"
#include "crystal/line_source.hpp"
#include "crystal/xyz.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvak::crystal {

namespace {

constexpr std::string_view axis_names[3] = {"x", "y", "z"};

// Makes room for one more entry, growing geometrically but never beyond
// `limit`, so that a count far larger than the file never reserves memory up
// front. The failed request is reported in bytes.
template <class T> void make_room(std::vector<T> &entries, std::size_t limit) {
  if (entries.size() < entries.capacity())
    return;
  const std::size_t wanted = std::min(std::max<std::size_t>(entries.capacity() * 2, 1024), limit);
  try {
    entries.reserve(wanted);
  } catch (const std::bad_alloc &) {
    throw AllocationError(wanted * sizeof(T));
  }
}

template <class T> void reserve_or_throw(std::vector<T> &entries, std::size_t count) {
  try {
    entries.reserve(count);
  } catch (const std::bad_alloc &) {
    throw AllocationError(count * sizeof(T));
  }
}

std::string_view trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

class XyzReader {
public:
  XyzReader(LineSource &source, const Crystal &start) : source_(source), in_(source) {
    result_.cell = start.cell;
    result_.natom = start.natom;
    table_.initialize();
  }

  Crystal read() {
    read_count();
    read_cell();
    read_atoms();
    return std::move(result_);
  }

private:
  // Empty items and a slash leave the count as the record had it.
  void read_count() {
    in_.begin_read();
    const Item item = in_.next();
    if (item.kind == Item::Kind::end_of_file)
      in_.fail(item, "the atom count");
    if (item.kind != Item::Kind::value)
      return;
    const auto count = parse_integer(item.text);
    if (!count || item.quoted)
      in_.fail(item, "an integer for the atom count");
    result_.natom = *count;
  }

  // Labels are read and dropped; empty items leave components unchanged.
  void read_cell() {
    in_.begin_read();
    for (int i = 0; i < 3; ++i) {
      const std::string vector = "cell vector " + std::to_string(i + 1);
      const Item label = in_.next();
      if (label.kind == Item::Kind::end_of_file)
        in_.fail(label, "a label for " + vector);
      for (int j = 0; j < 3; ++j)
        read_real(result_.cell[i][j], "a real number for " + vector);
    }
  }

  void read_real(double &target, const std::string &expected) {
    const Item item = in_.next();
    if (item.kind == Item::Kind::end_of_file)
      in_.fail(item, expected);
    if (item.kind != Item::Kind::value)
      return;
    const auto value = parse_real(item.text);
    if (!value || item.quoted)
      in_.fail(item, expected);
    target = *value;
  }

  void read_atoms() {
    const std::size_t count = result_.natom > 0 ? static_cast<std::size_t>(result_.natom) : 0;
    std::vector<Symbol> names;
    std::vector<Vec3> xyz;
    // No atom record is shorter than 8 bytes ("1 0 0 0" and a line end), so
    // the file's size bounds what is worth reserving.
    const std::size_t hint = std::min(count, source_.file_size() / 8 + 1);
    reserve_or_throw(names, hint);
    reserve_or_throw(xyz, hint);
    for (std::size_t atom = 0; atom < count; ++atom) {
      std::string_view line;
      Symbol name;
      Vec3 position{}; // an empty item leaves a coordinate at zero
      if (in_.begin_read_line(line) && take_plain_atom(line, name, position)) {
        make_room(names, count);
        make_room(xyz, count);
        names.push_back(name);
        xyz.push_back(position);
        continue;
      }
      name = read_element(atom);
      for (int j = 0; j < 3; ++j) {
        const Item item = in_.next();
        if (item.kind == Item::Kind::end_of_file)
          fail_at_end(item, atom);
        if (item.kind != Item::Kind::value)
          continue;
        const auto value = parse_real(item.text);
        if (!value || item.quoted)
          in_.fail(item, "a real number for coordinate " + std::string(axis_names[j]) +
                             " of atom " + std::to_string(atom + 1));
        position[j] = *value;
      }
      make_room(names, count);
      make_room(xyz, count);
      names.push_back(name);
      xyz.push_back(position);
    }
    result_.name = std::move(names);
    result_.xyz = std::move(xyz);
  }

  // An atomic number from 1 to 118, or an element symbol as the table writes it.
  Symbol read_element(std::size_t atom) {
    const Item item = in_.next();
    if (item.kind == Item::Kind::end_of_file)
      fail_at_end(item, atom);
    if (item.kind != Item::Kind::value)
      fail_element(item, atom, "an atomic number or element symbol");
    if (!item.quoted) {
      if (const auto number = parse_integer(item.text)) {
        if (*number < 1 || *number > Element_map::size)
          fail_element(item, atom, "an atomic number from 1 to 118");
        return table_.get_element_symbol(*number);
      }
    }
    const auto symbol = element_symbol(item.text);
    if (!symbol)
      fail_element(item, atom, "an atomic number or element symbol");
    return *symbol;
  }

  // The element whose symbol `text` is, if any.
  std::optional<Symbol> element_symbol(std::string_view text) {
    // Files mostly repeat a few elements: try the last match before the table.
    text = trim_trailing_blanks(text);
    if (last_number_ == 0 || !blank_padded_equal(last_symbol_.view(), text)) {
      const std::int32_t number = table_.get_element_number(text);
      if (number == 0)
        return std::nullopt;
      last_number_ = number;
      last_symbol_ = table_.get_element_symbol(number);
    }
    return last_symbol_;
  }

  // The common atom record, an element and three reals parted by blanks or
  // a comma on one line, read straight from the text. Anything else (quotes,
  // empty items, slashes, repeat counts, a record spread over lines, a bad
  // item) returns false and leaves the record to the item-by-item path, which
  // then reads it, or reports it, exactly as it would have anyway. The items
  // taken here are the texts that path would hand out, converted by the same
  // functions, so the values agree bit for bit.
  bool take_plain_atom(std::string_view line, Symbol &name, Vec3 &position) {
    const char *p = line.data();
    const char *const end = p + line.size();
    while (p != end && is_item_blank(*p))
      ++p;
    const char *const start = p;
    while (p != end && !ends_unquoted_item(*p))
      ++p;
    // Quotes and repeat counts never make an atomic number or a symbol, so a
    // text holding them is refused here as well.
    const std::string_view text(start, static_cast<std::size_t>(p - start));
    if (const auto number = parse_integer(text)) {
      if (*number < 1 || *number > Element_map::size)
        return false;
      name = table_.get_element_symbol(*number);
    } else if (const auto symbol = element_symbol(text)) {
      name = *symbol;
    } else {
      return false;
    }
    // Stores only on success: a refused record may hold empty items, which
    // leave their coordinates as they were.
    Vec3 taken;
    for (double &value : taken) {
      skip_separator(p, end);
      if (!take_real(p, end, value))
        return false;
    }
    position = taken;
    return true;
  }

  // Blanks with at most one comma among them part two items. A second comma
  // would stand for an empty item, which take_real refuses.
  static void skip_separator(const char *&p, const char *end) {
    while (p != end && is_item_blank(*p))
      ++p;
    if (p != end && *p == ',')
      ++p;
    while (p != end && is_item_blank(*p))
      ++p;
  }

  // The real at `p`, when the item there is one, and `p` moved past it. A
  // real that std::from_chars takes up to a separator or the line end is a
  // whole item, as none of the characters it takes ends an item, and
  // parse_real gives the same value for it; other spellings (a '+', a D
  // exponent, an underflow) go through parse_real. Neither takes an empty
  // text (a line end here means the record goes on on the next line), nor
  // one holding a quote, a repeat count or a slash.
  static bool take_real(const char *&p, const char *end, double &value) {
    const auto [stop, error] = std::from_chars(p, end, value);
    if (error == std::errc{} && std::isfinite(value) &&
        (stop == end || ends_unquoted_item(*stop))) {
      p = stop;
      return true;
    }
    const char *item_end = p;
    while (item_end != end && !ends_unquoted_item(*item_end))
      ++item_end;
    const auto parsed = parse_real(std::string_view(p, static_cast<std::size_t>(item_end - p)));
    if (!parsed)
      return false;
    value = *parsed;
    p = item_end;
    return true;
  }

  [[noreturn]] void fail_element(const Item &item, std::size_t atom,
                                 std::string_view expected) const {
    in_.fail(item, std::string(expected) + " for atom " + std::to_string(atom + 1));
  }

  [[noreturn]] void fail_at_end(const Item &item, std::size_t atoms_read) const {
    in_.fail(item.line, "file ends after " + std::to_string(atoms_read) + " of " +
                            std::to_string(result_.natom) + " atoms");
  }

  LineSource &source_;
  FreeFormReader in_;
  Crystal result_;
  Element_map table_;
  Symbol last_symbol_;
  std::int32_t last_number_ = 0;
};

} // namespace

void read_xyz(Crystal &cryst, std::string_view filename) {
  if (cryst.xyz)
    throw std::logic_error("Attempting to allocate already allocated variable 'cryst'");
  LineSource source{std::string(trim_trailing_blanks(filename))};
  // The record changes only once the whole file has been read.
  cryst = XyzReader(source, cryst).read();
}

} // namespace morvak::crystal
