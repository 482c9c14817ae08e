#include "crystal/plain_atoms.hpp"

#include "crystal/decimal_kernels.hpp"
#include "crystal/exact_decimal.hpp"
#include "crystal/free_form.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace morvak::crystal {

namespace {

// A line end ends an item as a separator does; here it also ends the record.
constexpr bool ends_item_or_line(char c) { return c == '\n' || ends_unquoted_item(c); }

std::string_view trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

// Blanks with at most one comma among them part two items. A second comma
// would stand for an empty item, which take_real refuses.
void skip_separator(const char *&p, const char *end) {
  while (p != end && is_item_blank(*p))
    ++p;
  if (p != end && *p == ',')
    ++p;
  while (p != end && is_item_blank(*p))
    ++p;
}

// The real at `p`, when the item there is one, and `p` moved past it. A plain
// decimal goes through parse_exact_decimal; a real that std::from_chars takes
// up to a separator is a whole item as well, as none of the characters it
// takes ends an item, and parse_real gives the same value for it; other
// spellings (a '+', a D exponent, an underflow) go through parse_real. None
// takes an empty text (a line end here means the record goes on on the next
// line), nor one holding a quote, a repeat count or a slash.
bool take_real(const char *&p, const char *end, double &value) {
  if (const char *stop = detail::parse_plain_decimal(p, end, value);
      stop != nullptr && (stop == end || ends_item_or_line(*stop))) {
    p = stop;
    return true;
  }
  if (const char *stop = parse_exact_decimal(p, end, value);
      stop != nullptr && (stop == end || ends_item_or_line(*stop))) {
    p = stop;
    return true;
  }
  const auto [stop, error] = std::from_chars(p, end, value);
  if (error == std::errc{} && std::isfinite(value) && (stop == end || ends_item_or_line(*stop))) {
    p = stop;
    return true;
  }
  const char *item_end = p;
  while (item_end != end && !ends_item_or_line(*item_end))
    ++item_end;
  const auto parsed = parse_real(std::string_view(p, static_cast<std::size_t>(item_end - p)));
  if (!parsed)
    return false;
  value = *parsed;
  p = item_end;
  return true;
}

// One to three plain digits, as atomic numbers are mostly written.
std::optional<std::int32_t> short_number(std::string_view item) {
  if (item.empty() || item.size() > 3)
    return std::nullopt;
  std::int32_t value = 0;
  for (const char c : item) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

} // namespace

std::optional<Symbol> PlainAtoms::element_symbol(std::string_view text) {
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

[[gnu::always_inline]] inline const char *PlainAtoms::take_element(const char *line,
                                                                   const char *end, Symbol &name) {
  // Most files repeat one element at the start of line after line: when this
  // line starts with the very bytes that held the last element item and the
  // byte that ended it, the item and its element are the same.
  if (end - line >= 8 && (detail::load_eight(line) & prefix_mask_) == prefix_word_) {
    name = prefix_symbol_;
    return line + prefix_length_;
  }
  const char *p = line;
  while (p != end && is_item_blank(*p))
    ++p;
  const char *const start = p;
  while (p != end && !ends_item_or_line(*p))
    ++p;
  // Quotes and repeat counts never make an atomic number or a symbol, so a
  // text holding them is refused here as well.
  const std::string_view item(start, static_cast<std::size_t>(p - start));
  std::optional<std::int32_t> number = short_number(item);
  if (!number)
    number = parse_integer(item);
  if (number) {
    if (*number < 1 || *number > Element_map::size)
      return nullptr;
    if (*number != last_number_) {
      last_number_ = *number;
      last_symbol_ = table_.get_element_symbol(*number);
    }
  } else if (!element_symbol(item)) {
    return nullptr;
  }
  name = last_symbol_;
  // Remember the bytes up to the one that ended the item, when they fit a word.
  const auto length = static_cast<unsigned>(p - line);
  if (p != end && length < 8 && end - line >= 8) {
    prefix_mask_ = length == 7 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length + 8)) - 1;
    prefix_word_ = detail::load_eight(line) & prefix_mask_;
    prefix_length_ = length;
    prefix_symbol_ = name;
  } else {
    prefix_mask_ = 0;
    prefix_word_ = 1;
  }
  return p;
}

std::size_t PlainAtoms::take_lines(std::string_view text, std::size_t max_atoms,
                                   std::vector<Symbol> &names, std::vector<Vec3> &xyz,
                                   std::size_t &taken_bytes) {
  const char *const begin = text.data();
  const char *const end = begin + text.size();
  const char *line = begin;
  std::size_t taken = 0;
  while (taken < max_atoms && line != end) {
    Symbol name;
    const char *p = take_element(line, end, name);
    if (p == nullptr)
      break;
    Vec3 position;
    bool plain = true;
    for (double &value : position) {
      // One blank is the common separator.
      if (end - p >= 2 && p[0] == ' ' &&
          (detail::item_char_class(p[1]) & (detail::blank | detail::comma)) == 0)
        ++p;
      else
        skip_separator(p, end);
      if (!take_real(p, end, value)) {
        plain = false;
        break;
      }
    }
    if (!plain)
      break;
    // The rest of the line is not read; mostly there is none.
    if (p != end && *p == '\n') {
      line = p + 1;
    } else {
      const void *line_end = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      line = line_end != nullptr ? static_cast<const char *>(line_end) + 1 : end;
    }
    names.push_back(name);
    xyz.push_back(position);
    ++taken;
  }
  taken_bytes = static_cast<std::size_t>(line - begin);
  return taken;
}

} // namespace morvak::crystal
