#include "formats/atom_lines.hpp"

#include "crystal/free_form.hpp"
#include "formats/elements.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace morvak::formats {

namespace {

using crystal::quote_for_message;

constexpr unsigned max_threads = 8;
// Bytes read at a time; a line must fit in what is left after a carried
// partial line, so the buffer holds a block and a longest line.
constexpr std::size_t block_size = std::size_t{1} << 20;
constexpr std::size_t buffer_size = block_size + TextFile::max_line_length + 1;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
constexpr bool ends_item(char c) { return is_blank(c) || c == '\n'; }

// Parses atom lines, each of which ends in a line feed: the loops need no
// other bound.
class LineParser {
public:
  LineParser(const FrameHeader &header, const TextFile &file, long first_line, Frame &frame)
      : header_(header), file_(file), first_line_(first_line), frame_(frame) {}

  // Parses the lines of one part, lines [first_atom, first_atom + natom)
  // that lie at bytes [begin, end) of the file.
  void parse_part(std::uint64_t begin, std::uint64_t end, std::size_t first_atom, std::size_t natom,
                  Scratch &scratch) const {
    // A short part needs no more room than its own bytes and a line end.
    char *const buffer = scratch.room(
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, end - begin + 1)));
    std::size_t carried = 0;
    std::size_t atom = first_atom;
    const std::size_t last = first_atom + natom;
    while (atom < last) {
      const auto wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(block_size, end - begin));
      const std::size_t got = file_.read_into(begin, buffer + carried, wanted);
      if (got < wanted)
        changed();
      begin += got;
      char *text_end = buffer + carried + got;
      if (begin == end && (text_end == buffer || text_end[-1] != '\n'))
        *text_end++ = '\n'; // the last line of a file may lack its line end
      const auto *last_newline = static_cast<const char *>(
          ::memrchr(buffer, '\n', static_cast<std::size_t>(text_end - buffer)));
      if (last_newline == nullptr) {
        carried = static_cast<std::size_t>(text_end - buffer);
        if (carried > TextFile::max_line_length)
          fail(atom, "expected a line of at most " + std::to_string(TextFile::max_line_length) +
                         " bytes, found a longer line");
        continue;
      }
      const char *p = buffer;
      while (atom < last && p <= last_newline)
        p = parse_line(p, text_end, atom++);
      if (atom < last && begin == end)
        changed();
      carried = static_cast<std::size_t>(text_end - p);
      if (carried > TextFile::max_line_length)
        fail(atom, "expected a line of at most " + std::to_string(TextFile::max_line_length) +
                       " bytes, found a longer line");
      std::memmove(buffer, p, carried);
    }
  }

private:
  // Parses the line at `p`, which ends in a line feed before `end`, and
  // returns the start of the next.
  const char *parse_line(const char *p, const char *end, std::size_t atom) const {
    const auto &columns = header_.columns;
    double *const position = frame_.positions[atom].data();
    for (std::size_t column = 0; column < columns.size(); ++column) {
      while (is_blank(*p))
        ++p;
      if (*p == '\n')
        fail(atom, "expected " + std::to_string(columns.size()) + " columns, found " +
                       std::to_string(column));
      const char *const start = p;
      switch (columns[column]) {
      case Column::species: {
        while (!ends_item(*p))
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
        while (!ends_item(*p))
          ++p;
        break;
      }
    }
    while (is_blank(*p))
      ++p;
    if (*p != '\n') {
      const auto *newline = static_cast<const char *>(std::memchr(p, '\n', end - p));
      if (!header_.more_columns_allowed)
        fail(atom,
             "expected " + std::to_string(columns.size()) +
                 " columns as Properties says, found more: " +
                 quote_for_message(std::string_view(p, static_cast<std::size_t>(newline - p))));
      p = newline;
    }
    return p + 1;
  }

  // A finite real, read exactly: short decimals directly, std::from_chars
  // for the other common spellings, the crystal library's reader for the
  // rest ('+' signs, D exponents, values that underflow).
  double take_real(const char *&p, const char *end, std::size_t atom) const {
    double value = 0.0;
    if (short_decimal(p, value))
      return value;
    const auto [stop, error] = std::from_chars(p, end, value);
    if (error == std::errc{} && ends_item(*stop) && std::isfinite(value)) {
      p = stop;
      return value;
    }
    const char *item_end = p;
    while (!ends_item(*item_end))
      ++item_end;
    const std::string_view text(p, static_cast<std::size_t>(item_end - p));
    const auto parsed = crystal::parse_real(text);
    if (!parsed)
      fail(atom,
           "expected a finite real number for a coordinate, found " + quote_for_message(text));
    p = item_end;
    return *parsed;
  }

  // A decimal without exponent whose digits, read as an integer m, stay
  // below 2^53, with at most 22 of them after the point: m and 10^k are then
  // exact doubles, and their quotient, one correctly rounded division, is the
  // double nearest the text (Clinger's fast path). Other texts are left alone.
  static bool short_decimal(const char *&p, double &value) {
    static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char *s = p;
    const bool negative = *s == '-';
    s += negative;
    std::uint64_t digits = 0;
    int count = 0;
    for (; *s >= '0' && *s <= '9' && count < 16; ++s, ++count)
      digits = digits * 10 + static_cast<unsigned>(*s - '0');
    int decimals = 0;
    if (*s == '.')
      for (++s; *s >= '0' && *s <= '9' && count < 16; ++s, ++count, ++decimals)
        digits = digits * 10 + static_cast<unsigned>(*s - '0');
    if (count == 0 || !ends_item(*s) || digits > (std::uint64_t{1} << 53))
      return false;
    value = static_cast<double>(digits) / powers_of_ten[decimals];
    if (negative)
      value = -value;
    p = s;
    return true;
  }

  [[noreturn]] void fail(std::size_t atom, const std::string &message) const {
    file_.fail(first_line_ + static_cast<long>(atom),
               message + " (atom " + std::to_string(atom + 1) + ")");
  }

  [[noreturn]] void changed() const {
    throw crystal::FileError(EIO, file_.path(),
                             "the file changed while it was read: '" + file_.path() + "'");
  }

  const FrameHeader &header_;
  const TextFile &file_;
  long first_line_;
  Frame &frame_;
};

} // namespace

void parse_atom_lines(const TextFile &file, const FrameExtent &extent, const FrameHeader &header,
                      Frame &frame) {
  frame.numbers.resize(extent.natom);
  frame.positions.resize(extent.natom);
  const LineParser parser(header, file, extent.comment_line + 1, frame);
  const std::size_t parts = extent.part_offsets.size() + 1;
  std::vector<std::exception_ptr> errors(parts);
  std::atomic<std::size_t> next_part{0};
  std::atomic<std::size_t> first_error{parts};
  const auto work = [&] {
    Scratch scratch;
    for (std::size_t k; (k = next_part++) < parts && k < first_error.load();) {
      try {
        const std::uint64_t begin = k == 0 ? extent.atoms_begin : extent.part_offsets[k - 1];
        const std::uint64_t end = k + 1 < parts ? extent.part_offsets[k] : extent.end;
        const std::size_t first_atom = k * atoms_per_part;
        parser.parse_part(begin, end, first_atom,
                          std::min(atoms_per_part, extent.natom - first_atom), scratch);
      } catch (...) {
        errors[k] = std::current_exception();
        // Later parts need not be parsed: the first faulty line is reported.
        for (std::size_t seen = first_error.load(); k < seen;)
          first_error.compare_exchange_weak(seen, k);
      }
    }
  };
  const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), max_threads));
  const auto helpers = static_cast<unsigned>(std::min<std::size_t>(cores, parts) - 1);
  {
    std::vector<std::jthread> workers;
    try {
      for (unsigned k = 0; k < helpers; ++k)
        workers.emplace_back(work);
    } catch (const std::system_error &) {
      // No more threads to be had: those started and this one do the work.
    }
    work();
  }
  for (const std::exception_ptr &error : errors)
    if (error)
      std::rethrow_exception(error);
}

} // namespace morvak::formats
