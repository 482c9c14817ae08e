#include "formats/atom_lines.hpp"

#include "crystal/free_form.hpp"
#include "formats/elements.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace morvak::formats {

namespace {

using crystal::quote_for_message;

// Below this many atoms a second thread costs more than it saves.
constexpr std::size_t atoms_per_thread = 20000;
constexpr unsigned max_threads = 8;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// One part of the atom lines, parsed on its own thread.
struct Part {
  std::string_view text;
  std::size_t first_atom = 0;
  std::size_t natom = 0;
  std::exception_ptr error;
};

class LineParser {
public:
  LineParser(const FrameHeader &header, const TextFile &file, long first_line, Frame &frame)
      : header_(header), file_(file), first_line_(first_line), frame_(frame) {}

  void parse(const Part &part) const {
    const char *p = part.text.data();
    const char *const end = p + part.text.size();
    for (std::size_t atom = part.first_atom; atom < part.first_atom + part.natom; ++atom) {
      auto *newline = static_cast<const char *>(std::memchr(p, '\n', end - p));
      const char *const stop = newline == nullptr ? end : newline;
      parse_line(p, stop, atom);
      p = newline == nullptr ? end : newline + 1;
    }
  }

private:
  void parse_line(const char *p, const char *const end, std::size_t atom) const {
    const auto &columns = header_.columns;
    double *const position = frame_.positions[atom].data();
    for (std::size_t column = 0; column < columns.size(); ++column) {
      while (p != end && is_blank(*p))
        ++p;
      if (p == end)
        fail(atom, "expected " + std::to_string(columns.size()) + " columns, found " +
                       std::to_string(column));
      const char *const start = p;
      switch (columns[column]) {
      case Column::species: {
        while (p != end && !is_blank(*p))
          ++p;
        const std::string_view text(start, static_cast<std::size_t>(p - start));
        const std::uint8_t number = element_number(text);
        if (number == 0)
          fail(atom,
               "expected an element symbol or atomic number, found " + quote_for_message(text));
        frame_.numbers[atom] = number;
        break;
      }
      case Column::x:
      case Column::y:
      case Column::z:
        position[static_cast<int>(columns[column]) - static_cast<int>(Column::x)] =
            take_real(p, end, atom);
        break;
      case Column::skip:
        while (p != end && !is_blank(*p))
          ++p;
        break;
      }
    }
    while (p != end && is_blank(*p))
      ++p;
    if (p != end && !header_.more_columns_allowed)
      fail(atom, "expected " + std::to_string(columns.size()) +
                     " columns as Properties says, found more: " +
                     quote_for_message(std::string_view(p, static_cast<std::size_t>(end - p))));
  }

  // A finite real, read exactly: std::from_chars for the common spellings,
  // the crystal library's reader for the rest ('+' signs, D exponents,
  // values that underflow).
  double take_real(const char *&p, const char *end, std::size_t atom) const {
    double value = 0.0;
    const auto [stop, error] = std::from_chars(p, end, value);
    if (error == std::errc{} && (stop == end || is_blank(*stop)) && std::isfinite(value)) {
      p = stop;
      return value;
    }
    const char *item_end = p;
    while (item_end != end && !is_blank(*item_end))
      ++item_end;
    const std::string_view text(p, static_cast<std::size_t>(item_end - p));
    const auto parsed = crystal::parse_real(text);
    if (!parsed)
      fail(atom,
           "expected a finite real number for a coordinate, found " + quote_for_message(text));
    p = item_end;
    return *parsed;
  }

  [[noreturn]] void fail(std::size_t atom, const std::string &message) const {
    file_.fail(first_line_ + static_cast<long>(atom),
               message + " (atom " + std::to_string(atom + 1) + ")");
  }

  const FrameHeader &header_;
  const TextFile &file_;
  long first_line_;
  Frame &frame_;
};

// Splits `text` into up to `count` parts of whole lines and about equal size.
std::vector<Part> split_lines(std::string_view text, std::size_t natom, unsigned count) {
  std::vector<Part> parts;
  std::size_t begin = 0;
  std::size_t first_atom = 0;
  for (unsigned k = 1; k <= count && first_atom < natom; ++k) {
    std::size_t end = text.size();
    if (k < count) {
      const std::size_t target = std::max(begin, text.size() / count * k);
      const std::size_t newline = text.find('\n', target);
      end = newline == std::string_view::npos ? text.size() : newline + 1;
    }
    Part part;
    part.text = text.substr(begin, end - begin);
    part.first_atom = first_atom;
    part.natom = std::min<std::size_t>(
        natom - first_atom,
        static_cast<std::size_t>(std::count(part.text.begin(), part.text.end(), '\n')) +
            (end == text.size() && !part.text.empty() && part.text.back() != '\n' ? 1 : 0));
    if (k == count || end == text.size())
      part.natom = natom - first_atom;
    parts.push_back(part);
    first_atom += part.natom;
    begin = end;
  }
  return parts;
}

} // namespace

void parse_atom_lines(std::string_view text, std::size_t natom, const FrameHeader &header,
                      const TextFile &file, long first_line, Frame &frame) {
  frame.numbers.resize(natom);
  frame.positions.resize(natom);
  const LineParser parser(header, file, first_line, frame);
  const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), max_threads));
  const auto wanted = static_cast<unsigned>(std::min<std::size_t>(cores, natom / atoms_per_thread));
  if (wanted <= 1) {
    parser.parse(Part{text, 0, natom, nullptr});
    return;
  }
  std::vector<Part> parts = split_lines(text, natom, wanted);
  {
    std::vector<std::jthread> workers;
    workers.reserve(parts.size() - 1);
    const auto run = [&parser](Part &part) {
      try {
        parser.parse(part);
      } catch (...) {
        part.error = std::current_exception();
      }
    };
    std::size_t started = 1;
    try {
      for (; started < parts.size(); ++started)
        workers.emplace_back(run, std::ref(parts[started]));
    } catch (const std::system_error &) {
      // No more threads to be had: the calling thread takes the rest.
    }
    run(parts[0]);
    for (std::size_t k = started; k < parts.size(); ++k)
      run(parts[k]);
  }
  // The first faulty line is reported, whichever thread met it.
  for (const Part &part : parts)
    if (part.error)
      std::rethrow_exception(part.error);
}

} // namespace morvak::formats
