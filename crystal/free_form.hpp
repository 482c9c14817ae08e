#pragma once

#include "crystal/line_source.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvak::crystal {

namespace detail {

enum ItemCharClass : unsigned char { other = 0, blank = 1, comma = 2, slash = 4 };

inline constexpr std::array<unsigned char, 256> item_char_classes = [] {
  std::array<unsigned char, 256> classes{};
  classes[' '] = classes['\t'] = classes['\r'] = blank;
  classes[','] = comma;
  classes['/'] = slash;
  return classes;
}();

constexpr unsigned char item_char_class(char c) {
  return item_char_classes[static_cast<unsigned char>(c)];
}

} // namespace detail

// Characters that separate free-form items as a blank does.
constexpr bool is_item_blank(char c) { return detail::item_char_class(c) == detail::blank; }
// Characters that end an unquoted item: blanks, a comma and a slash.
constexpr bool ends_unquoted_item(char c) { return detail::item_char_class(c) != detail::other; }

// One item of free-form input, as handed to one target of a read.
struct Item {
  enum class Kind {
    value,      // `text` holds the item (without its quotes when quoted)
    null,       // an empty item: the target keeps its value
    slash,      // the read was ended by a slash: the target keeps its value
    end_of_file // the file ended before the read was complete
  };
  Kind kind = Kind::end_of_file;
  std::string_view text;
  bool quoted = false;
  long line = 0; // line on which the item stands
};

// Splits a file into free-form (list-directed) items. Items are separated by
// blanks, tabs, a comma (with or without blanks around it) or a line end;
// blank lines are passed over and a read continues on the following lines as
// long as it needs items. Further forms: "r*value" stands for r copies of the
// value and "r*" for r empty items; nothing between two commas is an empty
// item; a slash ends the current read, so all its remaining targets are left
// unchanged. A text item is a run of characters other than separators and
// slashes, or a text in apostrophes or double quotes on one line (a doubled
// quote stands for the quote itself).
class FreeFormReader {
public:
  explicit FreeFormReader(LineSource &source) : source_(source) {}

  // Starts a new read: the rest of the current line is skipped, as is any
  // unused repetition of a value, and the next item comes from a fresh line.
  void begin_read();
  // Starts a new read as begin_read does and fetches the line its first item
  // will come from, so that a caller can take a plain record straight from the
  // text. Returns false at the end of the file. Items not taken that way come
  // from next(), starting at the beginning of `line`.
  bool begin_read_line(std::string_view &line);
  // The item for the next target of the current read. Its text stays valid
  // until the next call.
  Item next();

  // Throws FormatError "<file>:<line>: expected <expected>, found <item>".
  [[noreturn]] void fail(const Item &item, std::string_view expected) const;
  [[noreturn]] void fail(long line, std::string_view message) const;
  const std::string &filename() const { return source_.filename(); }

private:
  Item scan_item();
  std::string_view scan_quoted();
  void skip_separator();

  LineSource &source_;
  std::string_view line_;
  std::size_t pos_ = 0;
  bool have_line_ = false;
  bool ended_by_slash_ = false;
  std::uint64_t repeats_left_ = 0;
  Item repeated_;
};

// An optionally signed run of decimal digits that fits 32 bits.
std::optional<std::int32_t> parse_integer(std::string_view text);
// An optionally signed decimal number with optional fraction and optional
// exponent introduced by E, e, D or d (1.5, -2, .5e3, 1.0D-4); an integer is
// a real as well. Inf, Infinity and NaN are not, nor is a value beyond the
// range of a double; one too small for it reads as zero.
std::optional<double> parse_real(std::string_view text);
// `text` in apostrophes for a message, with unprintable bytes escaped and a
// long text cut short.
std::string quote_for_message(std::string_view text);

} // namespace morvak::crystal
