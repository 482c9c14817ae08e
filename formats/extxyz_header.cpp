#include "formats/extxyz_header.hpp"

#include "crystal/free_form.hpp"

#include <cmath>
#include <optional>
#include <string>

namespace morvak::formats {

namespace {

using crystal::quote_for_message;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
constexpr bool is_quote(char c) { return c == '"' || c == '\''; }
// Columns of one atom line, to keep a hostile Properties string from
// describing lines no file holds.
constexpr long max_columns = 100000;

struct Pair {
  std::string key;
  std::string value;
  bool has_value = false;
};

// Splits a comment line into its key=value pairs.
class PairReader {
public:
  PairReader(std::string_view line, const TextFile &file, long line_number)
      : line_(line), file_(file), line_number_(line_number) {}

  bool next(Pair &pair) {
    skip_blanks();
    if (pos_ == line_.size())
      return false;
    if (line_[pos_] == '=')
      fail("expected a key before '=', found '='");
    pair.key = is_quote(line_[pos_]) ? quoted("a key") : bare(true);
    skip_blanks();
    pair.has_value = pos_ < line_.size() && line_[pos_] == '=';
    pair.value.clear();
    if (!pair.has_value)
      return true;
    ++pos_;
    skip_blanks();
    if (pos_ == line_.size())
      fail("expected a value after '" + pair.key + "=', found the end of the line");
    const char c = line_[pos_];
    if (is_quote(c))
      pair.value = quoted("the value of " + pair.key);
    else if (c == '[' || c == '{')
      pair.value = bracketed(pair.key);
    else
      pair.value = bare(false);
    return true;
  }

  [[noreturn]] void fail(const std::string &message) const { file_.fail(line_number_, message); }

private:
  void skip_blanks() {
    while (pos_ < line_.size() && is_blank(line_[pos_]))
      ++pos_;
  }

  // A run of characters up to a blank (and, for a key, an '=').
  std::string bare(bool key) {
    const std::size_t start = pos_;
    while (pos_ < line_.size() && !is_blank(line_[pos_]) && !(key && line_[pos_] == '=')) {
      if (is_quote(line_[pos_]))
        fail("expected balanced quotes, found a stray quote in " +
             quote_for_message(line_.substr(start)));
      ++pos_;
    }
    return std::string(line_.substr(start, pos_ - start));
  }

  // A text in quotes, where a backslash takes the next character as it is.
  std::string quoted(const std::string &what) {
    const char quote = line_[pos_++];
    std::string text;
    while (pos_ < line_.size() && line_[pos_] != quote) {
      if (line_[pos_] == '\\' && pos_ + 1 < line_.size())
        ++pos_;
      text += line_[pos_++];
    }
    if (pos_ == line_.size())
      fail(std::string("expected a closing ") + quote + " for " + what +
           ", found the end of the line");
    ++pos_;
    return text;
  }

  // A value in brackets, nested brackets and all, brackets kept.
  std::string bracketed(const std::string &key) {
    const std::size_t start = pos_;
    std::string open;
    for (; pos_ < line_.size(); ++pos_) {
      const char c = line_[pos_];
      if (c == '[' || c == '{') {
        open += c == '[' ? ']' : '}';
      } else if (c == ']' || c == '}') {
        if (c != open.back())
          fail("expected '" + std::string(1, open.back()) + "' in the value of " + key +
               ", found '" + std::string(1, c) + "'");
        open.pop_back();
        if (open.empty())
          return std::string(line_.substr(start, ++pos_ - start));
      }
    }
    fail("expected a closing '" + std::string(1, open.back()) + "' for the value of " + key +
         ", found the end of the line");
  }

  std::string_view line_;
  const TextFile &file_;
  long line_number_;
  std::size_t pos_ = 0;
};

// The items of a list value: parted by blanks and commas, brackets dropped.
std::vector<std::string_view> list_items(std::string_view value) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  const auto separates = [](char c) {
    return is_blank(c) || c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
  };
  while (i < value.size()) {
    while (i < value.size() && separates(value[i]))
      ++i;
    const std::size_t start = i;
    while (i < value.size() && !separates(value[i]))
      ++i;
    if (i > start)
      items.push_back(value.substr(start, i - start));
  }
  return items;
}

void read_lattice(const std::string &value, FrameHeader &header, const PairReader &in) {
  const auto items = list_items(value);
  if (items.size() != 9)
    in.fail("expected 9 real numbers in Lattice, found " + std::to_string(items.size()) + " in " +
            quote_for_message(value));
  for (std::size_t k = 0; k < 9; ++k) {
    const auto number = crystal::parse_real(items[k]);
    if (!number)
      in.fail("expected a real number for component " + std::to_string(k % 3 + 1) +
              " of cell vector " + std::to_string(k / 3 + 1) + " in Lattice, found " +
              quote_for_message(items[k]));
    header.cell[k / 3][k % 3] = *number;
  }
}

std::optional<bool> truth_value(std::string_view text) {
  if (text == "T" || text == "True" || text == "true" || text == "TRUE")
    return true;
  if (text == "F" || text == "False" || text == "false" || text == "FALSE")
    return false;
  return std::nullopt;
}

void read_pbc(const std::string &value, FrameHeader &header, const PairReader &in) {
  const auto items = list_items(value);
  if (items.size() != 1 && items.size() != 3)
    in.fail("expected 3 of T and F in pbc, found " + std::to_string(items.size()) + " items in " +
            quote_for_message(value));
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::string_view item = items[items.size() == 1 ? 0 : axis];
    const auto flag = truth_value(item);
    if (!flag)
      in.fail("expected T or F in pbc, found " + quote_for_message(item));
    header.pbc[axis] = *flag;
  }
}

void read_properties(const std::string &value, FrameHeader &header, const PairReader &in) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t colon = value.find(':', start);
    fields.push_back(std::string_view(value).substr(start, colon - start));
    if (colon == std::string::npos)
      break;
    start = colon + 1;
  }
  if (fields.size() % 3 != 0)
    in.fail("expected Properties as name:type:count triples, found " + quote_for_message(value));
  bool species = false;
  bool position = false;
  header.columns.clear();
  for (std::size_t k = 0; k < fields.size(); k += 3) {
    const std::string_view name = fields[k];
    const std::string_view type = fields[k + 1];
    const auto count = crystal::parse_integer(fields[k + 2]);
    const std::string where = " for property " + quote_for_message(name) + " in Properties";
    if (name.empty())
      in.fail("expected a property name in Properties, found an empty one in " +
              quote_for_message(value));
    if (type != "S" && type != "R" && type != "I" && type != "L")
      in.fail("expected a type S, R, I or L" + where + ", found " + quote_for_message(type));
    if (!count || *count < 1 || *count > max_columns - static_cast<long>(header.columns.size()) ||
        fields[k + 2][0] == '+')
      in.fail("expected a column count from 1 to " + std::to_string(max_columns) +
              " (all properties together)" + where + ", found " + quote_for_message(fields[k + 2]));
    if (name == "species" || name == "pos") {
      const bool is_species = name == "species";
      if (is_species ? species : position)
        in.fail("expected one property " + std::string(name) + " in Properties, found two");
      const std::string_view wanted = is_species ? "S:1" : "R:3";
      if (type != wanted.substr(0, 1) || *count != (is_species ? 1 : 3))
        in.fail("expected " + std::string(name) + ":" + std::string(wanted) +
                " in Properties, found " + std::string(name) + ":" + std::string(type) + ":" +
                std::string(fields[k + 2]));
      if (is_species) {
        species = true;
        header.columns.push_back(Column::species);
      } else {
        position = true;
        header.columns.insert(header.columns.end(), {Column::x, Column::y, Column::z});
      }
      continue;
    }
    header.columns.insert(header.columns.end(), static_cast<std::size_t>(*count), Column::skip);
  }
  if (!species || !position)
    in.fail(std::string("expected Properties to name the columns ") +
            (species    ? "pos:R:3"
             : position ? "species:S:1"
                        : "species:S:1 and pos:R:3") +
            ", found " + quote_for_message(value));
}

} // namespace

FrameHeader plain_xyz_header() {
  FrameHeader header;
  header.columns = {Column::species, Column::x, Column::y, Column::z};
  header.more_columns_allowed = true;
  return header;
}

FrameHeader parse_extxyz_header(std::string_view comment, const TextFile &file, long line) {
  FrameHeader header;
  header.columns = {Column::species, Column::x, Column::y, Column::z};
  PairReader in(comment, file, line);
  Pair pair;
  bool lattice = false;
  bool pbc = false;
  bool properties = false;
  while (in.next(pair)) {
    bool *seen = pair.key == "Lattice"      ? &lattice
                 : pair.key == "pbc"        ? &pbc
                 : pair.key == "Properties" ? &properties
                                            : nullptr;
    if (seen == nullptr)
      continue;
    if (*seen)
      in.fail("expected one " + pair.key + " key, found a second");
    if (!pair.has_value)
      in.fail("expected a value for " + pair.key + ", found none");
    *seen = true;
    if (seen == &lattice)
      read_lattice(pair.value, header, in);
    else if (seen == &pbc)
      read_pbc(pair.value, header, in);
    else
      read_properties(pair.value, header, in);
  }
  if (!pbc)
    header.pbc.fill(lattice);
  return header;
}

bool looks_like_extxyz(std::string_view comment) {
  for (const std::string_view key : {"Lattice", "Properties", "pbc"}) {
    for (std::size_t at = comment.find(key); at != std::string_view::npos;
         at = comment.find(key, at + 1)) {
      const bool starts = at == 0 || is_blank(comment[at - 1]);
      std::size_t after = at + key.size();
      while (after < comment.size() && is_blank(comment[after]))
        ++after;
      if (starts && after < comment.size() && comment[after] == '=')
        return true;
    }
  }
  return false;
}

} // namespace morvak::formats
