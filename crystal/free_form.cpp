#include "crystal/free_form.hpp"

#include "crystal/errors.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace morvak::crystal {

namespace {

constexpr bool is_blank(char c) { return is_item_blank(c); }
constexpr bool ends_item(char c) { return ends_unquoted_item(c); }
constexpr bool is_quote(char c) { return c == '\'' || c == '"'; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<double> parse_real_carefully(std::string_view text);

} // namespace

std::optional<std::int32_t> parse_integer(std::string_view text) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    i = 1;
  if (i == text.size())
    return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i]))
      return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

namespace {

std::optional<double> parse_real_carefully(std::string_view text) {
  // Check the form first: std::from_chars alone takes inf and nan spellings
  // and more, stops quietly at trailing junk, and knows no D exponent. Only
  // decimal numbers are reals: Inf and NaN spellings are refused.
  std::size_t i = 0;
  const std::size_t size = text.size();
  if (i < size && (text[i] == '+' || text[i] == '-'))
    ++i;
  // Decimal exponent of the leading significant digit, to tell an overflow
  // from an underflow should the value be out of range.
  long magnitude = 0;
  bool seen_nonzero = false;
  std::size_t digits = 0;
  for (; i < size && is_digit(text[i]); ++i, ++digits)
    if (seen_nonzero || text[i] != '0') {
      seen_nonzero = true;
      ++magnitude;
    }
  if (i < size && text[i] == '.') {
    for (++i; i < size && is_digit(text[i]); ++i, ++digits)
      if (!seen_nonzero) {
        if (text[i] == '0')
          --magnitude;
        else
          seen_nonzero = true;
      }
  }
  if (digits == 0)
    return std::nullopt;
  std::size_t exponent_letter = size;
  long exponent = 0;
  if (i < size) {
    const char c = text[i];
    if (c != 'e' && c != 'E' && c != 'd' && c != 'D')
      return std::nullopt;
    exponent_letter = i++;
    bool exponent_negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-'))
      exponent_negative = text[i++] == '-';
    if (i == size)
      return std::nullopt;
    for (; i < size; ++i) {
      if (!is_digit(text[i]))
        return std::nullopt;
      exponent = std::min(exponent * 10 + (text[i] - '0'), 100000L);
    }
    if (exponent_negative)
      exponent = -exponent;
  }

  // std::from_chars takes no leading '+' and no D exponent.
  std::string_view number = text;
  if (number[0] == '+')
    number.remove_prefix(1);
  std::array<char, 64> local;
  std::string heap;
  if (exponent_letter < size && (text[exponent_letter] == 'd' || text[exponent_letter] == 'D')) {
    const std::size_t letter = exponent_letter - (text.size() - number.size());
    char *copy = local.data();
    if (number.size() > local.size()) {
      heap.assign(number);
      copy = heap.data();
    } else {
      std::copy(number.begin(), number.end(), copy);
    }
    copy[letter] = 'e';
    number = std::string_view(copy, number.size());
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) {
    if (magnitude + exponent < 0)
      return text[0] == '-' ? -0.0 : 0.0;
    return std::nullopt;
  }
  if (error != std::errc{} || end != number.data() + number.size())
    return std::nullopt;
  return value;
}

} // namespace

std::optional<double> parse_real(std::string_view text) {
  // Plain forms go straight through std::from_chars; a leading '+', a D
  // exponent or a value out of range take the careful path.
  if (!text.empty() && text[0] != '+') {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc{} && end == text.data() + text.size() && std::isfinite(value))
      return value;
  }
  return parse_real_carefully(text);
}

std::string quote_for_message(std::string_view text) {
  constexpr std::size_t shown = 40;
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < shown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (text.size() > shown)
    out += "...";
  out += "'";
  return out;
}

void FreeFormReader::begin_read() {
  have_line_ = false;
  ended_by_slash_ = false;
  repeats_left_ = 0;
}

bool FreeFormReader::begin_read_line(std::string_view &line) {
  begin_read();
  if (!source_.next_line(line_))
    return false;
  have_line_ = true;
  pos_ = 0;
  line = line_;
  return true;
}

Item FreeFormReader::next() {
  if (ended_by_slash_)
    return Item{Item::Kind::slash, "/", false, source_.line_number()};
  if (repeats_left_ > 0) {
    --repeats_left_;
    return repeated_;
  }
  return scan_item();
}

Item FreeFormReader::scan_item() {
  for (;;) {
    if (!have_line_) {
      if (!source_.next_line(line_))
        return Item{Item::Kind::end_of_file, {}, false, source_.line_number() + 1};
      have_line_ = true;
      pos_ = 0;
    }
    while (pos_ < line_.size() && is_blank(line_[pos_]))
      ++pos_;
    if (pos_ < line_.size())
      break;
    have_line_ = false; // a line end separates items like a blank
  }

  const long line = source_.line_number();
  const char first = line_[pos_];
  if (first == ',') {
    ++pos_; // nothing stands before this comma: an empty item
    return Item{Item::Kind::null, {}, false, line};
  }
  if (first == '/') {
    ended_by_slash_ = true;
    return Item{Item::Kind::slash, "/", false, line};
  }

  Item item{Item::Kind::value, {}, false, line};
  std::uint64_t repeat = 1;
  if (is_quote(first)) {
    item.text = scan_quoted();
    item.quoted = true;
  } else {
    const std::size_t start = pos_;
    while (pos_ < line_.size() && !ends_item(line_[pos_]))
      ++pos_;
    item.text = line_.substr(start, pos_ - start);
    // "r*value" or "r*": r copies of the value, or r empty items.
    const std::size_t star = item.text.find('*');
    if (star != std::string_view::npos && star > 0 &&
        std::all_of(item.text.begin(), item.text.begin() + star, is_digit)) {
      repeat = 0;
      for (std::size_t i = 0; i < star; ++i)
        repeat = std::min<std::uint64_t>(repeat * 10 + static_cast<unsigned>(item.text[i] - '0'),
                                         std::numeric_limits<std::uint32_t>::max());
      if (repeat == 0)
        fail(Item{Item::Kind::value, item.text.substr(0, star + 1), false, line},
             "a repeat count of at least 1");
      const std::size_t value_start = start + star + 1;
      if (value_start < line_.size() && is_quote(line_[value_start])) {
        pos_ = value_start;
        item.text = scan_quoted();
        item.quoted = true;
      } else {
        item.text.remove_prefix(star + 1);
        if (item.text.empty())
          item.kind = Item::Kind::null;
      }
    }
  }
  skip_separator();
  if (repeat > 1) {
    repeated_ = item;
    repeats_left_ = repeat - 1;
  }
  return item;
}

std::string_view FreeFormReader::scan_quoted() {
  const char quote = line_[pos_];
  const std::size_t start = pos_ + 1;
  std::size_t i = start;
  for (;;) {
    const std::size_t close = line_.find(quote, i);
    if (close == std::string_view::npos)
      fail(source_.line_number(), std::string("expected a closing ") + quote +
                                      " on the same line, found the end of the line");
    if (close + 1 < line_.size() && line_[close + 1] == quote) {
      i = close + 2;
      continue;
    }
    pos_ = close + 1;
    if (pos_ < line_.size() && !ends_item(line_[pos_]))
      fail(Item{Item::Kind::value, line_.substr(pos_), false, source_.line_number()},
           "a separator after the quoted text");
    return line_.substr(start, close - start);
  }
}

void FreeFormReader::skip_separator() {
  while (pos_ < line_.size() && is_blank(line_[pos_]))
    ++pos_;
  if (pos_ < line_.size() && line_[pos_] == ',')
    ++pos_;
}

void FreeFormReader::fail(const Item &item, std::string_view expected) const {
  std::string found;
  switch (item.kind) {
  case Item::Kind::value:
    found = quote_for_message(item.text);
    break;
  case Item::Kind::null:
    found = "an empty item";
    break;
  case Item::Kind::slash:
    found = "'/'";
    break;
  case Item::Kind::end_of_file:
    found = "the end of the file";
    break;
  }
  fail(item.line, "expected " + std::string(expected) + ", found " + found);
}

void FreeFormReader::fail(long line, std::string_view message) const {
  throw FormatError(source_.filename() + ":" + std::to_string(line) + ": " + std::string(message));
}

} // namespace morvak::crystal
