#include "crystal/free_form.hpp"
#include "crystal/helper_thread.hpp"
#include "crystal/line_source.hpp"
#include "crystal/plain_atoms.hpp"
#include "crystal/shared_records.hpp"
#include "crystal/xyz.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvak::crystal {

namespace {

constexpr std::string_view axis_names[3] = {"x", "y", "z"};
// Files with at least this much left are read on several threads, by at
// most max_threads of them.
constexpr std::uint64_t shared_bytes = std::uint64_t{256} << 10;
constexpr unsigned max_threads = 4;
constexpr int max_shared_runs = 16;

std::string_view trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

// The per-atom arrays. They grow as atoms arrive, never beyond the count, and
// are reserved up front only as far as the data of the file can fill them, so
// that a count far larger than the file never reserves memory.
class AtomArrays {
public:
  explicit AtomArrays(std::size_t count) : count_(count) {}

  std::vector<Symbol> names;
  std::vector<Vec3> xyz;

  std::size_t size() const { return xyz.size(); }

  // Room for `extra` more atoms (at most up to the count).
  void make_room(std::size_t extra) {
    const std::size_t needed = std::min(count_, size() + extra);
    if (needed <= xyz.capacity())
      return;
    reserve(std::min(count_, std::max({needed, xyz.capacity() * 2, std::size_t{1024}})));
  }

  void reserve(std::size_t atoms) {
    atoms = std::min(atoms, count_);
    try {
      names.reserve(atoms);
    } catch (const std::bad_alloc &) {
      throw AllocationError(atoms * sizeof(Symbol));
    }
    try {
      xyz.reserve(atoms);
    } catch (const std::bad_alloc &) {
      throw AllocationError(atoms * sizeof(Vec3));
    }
  }

private:
  std::size_t count_;
};

// What the line after the count looks like. Files in the common and extended
// XYZ layouts hold a comment or a key=value header there instead of the cell.
enum class SecondLine { cell_vector, blank, extended_header, other, none };

bool contains_key(std::string_view line, std::string_view key) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i + key.size() <= line.size(); ++i) {
    std::size_t j = 0;
    while (j < key.size() && lower(line[i + j]) == key[j])
      ++j;
    if (j == key.size())
      return true;
  }
  return false;
}

bool looks_numeric(std::string_view item) {
  if (item.empty())
    return false;
  const char c = item[0];
  if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')
    return true;
  // Spellings of Inf and NaN are refused later, with their own message.
  const char lower = static_cast<char>(c | 0x20);
  return lower == 'i' || lower == 'n';
}

SecondLine classify_second_line(std::string_view line) {
  const std::size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string_view::npos)
    return SecondLine::blank;
  if (contains_key(line, "lattice=") || contains_key(line, "properties="))
    return SecondLine::extended_header;
  // A quoted label is meant as one; otherwise a label and then a number.
  if (line[start] == '\'' || line[start] == '"')
    return SecondLine::cell_vector;
  std::size_t pos = start;
  while (pos < line.size() && !ends_unquoted_item(line[pos]))
    ++pos;
  while (pos < line.size() && (is_item_blank(line[pos]) || line[pos] == ','))
    ++pos;
  const std::size_t next = pos;
  while (pos < line.size() && !ends_unquoted_item(line[pos]))
    ++pos;
  return looks_numeric(line.substr(next, pos - next)) ? SecondLine::cell_vector : SecondLine::other;
}

class XyzReader {
public:
  XyzReader(LineSource &source, const Crystal &start)
      : source_(source), in_(source), plain_(table_) {
    result_.cell = start.cell;
    result_.natom = start.natom;
    table_.initialize();
  }

  Crystal read() {
    read_count();
    try {
      read_cell();
    } catch (const FormatError &) {
      if (second_line_ != SecondLine::cell_vector && second_line_ != SecondLine::none)
        fail_other_layout();
      throw;
    }
    try {
      read_atoms();
    } catch (const FormatError &) {
      // A blank comment line lets the cell be read from the first atom lines.
      if (labels_look_like_elements_ &&
          (second_line_ == SecondLine::blank || second_line_ == SecondLine::extended_header))
        fail_other_layout();
      throw;
    }
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
    if (*count < 0)
      in_.fail(item, "a non-negative integer for the atom count");
    result_.natom = *count;
  }

  // Labels are read and dropped; empty items leave components unchanged.
  void read_cell() {
    in_.begin_read();
    const std::string_view ahead = source_.lines_ahead();
    if (!ahead.empty()) {
      std::string_view line = ahead.substr(0, ahead.find('\n'));
      second_line_ = classify_second_line(line);
      second_line_text_.assign(line.substr(0, 64));
      second_line_number_ = source_.line_number() + 1;
    }
    for (int i = 0; i < 3; ++i) {
      const std::string vector = "cell vector " + std::to_string(i + 1);
      const Item label = in_.next();
      if (label.kind == Item::Kind::end_of_file)
        in_.fail(label, "a label for " + vector);
      if (label.kind != Item::Kind::value || !looks_like_element(label))
        labels_look_like_elements_ = false;
      for (int j = 0; j < 3; ++j)
        read_real(result_.cell[i][j], "a real number for " + vector);
    }
  }

  bool looks_like_element(const Item &item) {
    if (const auto number = parse_integer(item.text))
      return *number >= 1 && *number <= Element_map::size;
    return plain_.element_symbol(item.text).has_value();
  }

  [[noreturn]] void fail_other_layout() const {
    const bool blank = second_line_ == SecondLine::blank;
    in_.fail(second_line_number_,
             std::string("expected a labelled cell vector, found ") +
                 (blank ? "a blank line" : quote_for_message(second_line_text_)) +
                 ", which looks like " +
                 (second_line_ == SecondLine::extended_header ? "an extended-XYZ header"
                                                              : "the comment line of an XYZ file") +
                 " rather than a labelled cell vector; common and extended XYZ files are read "
                 "by morvak.read");
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
    const auto count = static_cast<std::size_t>(result_.natom);
    AtomArrays arrays(count);
    bool first_block = true;
    // A run on several threads ends at the first record it can't take; one
    // record is then read here before the next run may start. Runs are
    // bounded so that a file full of such records reads in linear time.
    int shared_runs_left = max_shared_runs;
    const bool may_share = source_.is_regular() && HelperThread::usable_cpus() > 1;
    bool just_shared = false;
    while (arrays.size() < count) {
      source_.check_stop();
      const std::string_view text = source_.lines_ahead();
      if (first_block) {
        reserve_for_file(arrays, text);
        first_block = false;
      }
      if (text.empty()) {
        read_record_by_items(arrays); // reports the end of the file
        continue;
      }
      if (may_share && !just_shared && shared_runs_left > 0 &&
          source_.file_size() >= source_.offset() + shared_bytes) {
        --shared_runs_left;
        read_shared(arrays);
        just_shared = true;
        continue;
      }
      just_shared = false;
      const std::size_t wanted = count - arrays.size();
      arrays.make_room(std::min(wanted, text.size() / PlainAtoms::shortest_record + 1));
      std::size_t bytes = 0;
      const std::size_t taken = plain_.take_lines(text, wanted, arrays.names, arrays.xyz, bytes);
      source_.skip(bytes, static_cast<long>(taken));
      if (bytes < text.size() && arrays.size() < count)
        read_record_by_items(arrays);
    }
    result_.name = std::move(arrays.names);
    result_.xyz = std::move(arrays.xyz);
  }

  // Plain records on several threads, from the source's offset on; leaves
  // the source after them.
  void read_shared(AtomArrays &arrays) {
    RecordArrays out{arrays.names, arrays.xyz,
                     [&arrays](std::size_t atoms) { arrays.make_room(atoms); }};
    const std::function<void()> check_stop = [this] { source_.check_stop(); };
    const unsigned threads = std::min(HelperThread::usable_cpus(), max_threads);
    const SharedRun run = read_shared_records(
        source_.descriptor(), source_.offset(), source_.file_size(),
        static_cast<std::size_t>(result_.natom) - arrays.size(), table_, threads, out, check_stop);
    source_.advance(run.bytes, static_cast<long>(run.atoms));
  }

  // Reserves what the file's data can hold, judged by the lines of the first
  // block: a regular file's size bounds the atoms that can still come.
  void reserve_for_file(AtomArrays &arrays, std::string_view first) {
    const std::size_t lines =
        static_cast<std::size_t>(std::count(first.begin(), first.end(), '\n'));
    std::size_t expected = std::min<std::size_t>(lines + 1, 1024);
    if (source_.data_size() > 0 && !first.empty()) {
      const double per_byte = static_cast<double>(lines + 1) / static_cast<double>(first.size());
      // A tenth more than the density of the first block predicts.
      expected =
          static_cast<std::size_t>(static_cast<double>(source_.data_size()) * per_byte * 1.1) + 16;
    }
    arrays.reserve(expected);
  }

  // One record by the item-by-item reader, from a fresh line.
  void read_record_by_items(AtomArrays &arrays) {
    const std::size_t atom = arrays.size();
    in_.begin_read();
    const Symbol name = read_element(atom);
    Vec3 position{}; // an empty item leaves a coordinate at zero
    for (int j = 0; j < 3; ++j) {
      const Item item = in_.next();
      if (item.kind == Item::Kind::end_of_file)
        fail_at_end(item, atom);
      if (item.kind != Item::Kind::value)
        continue;
      const auto value = parse_real(item.text);
      if (!value || item.quoted)
        in_.fail(item, "a real number for coordinate " + std::string(axis_names[j]) + " of atom " +
                           std::to_string(atom + 1));
      position[j] = *value;
    }
    arrays.make_room(1);
    arrays.names.push_back(name);
    arrays.xyz.push_back(position);
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
    const auto symbol = plain_.element_symbol(item.text);
    if (!symbol)
      fail_element(item, atom, "an atomic number or element symbol");
    return *symbol;
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
  Element_map table_;
  PlainAtoms plain_;
  Crystal result_;
  SecondLine second_line_ = SecondLine::none;
  std::string second_line_text_;
  long second_line_number_ = 0;
  bool labels_look_like_elements_ = true;
};

} // namespace

void read_xyz(Crystal &cryst, std::string_view filename, const StopRequest &stop) {
  if (cryst.xyz)
    throw std::logic_error("Attempting to allocate already allocated variable 'cryst'");
  LineSource source{std::string(trim_trailing_blanks(filename)), stop};
  // The record changes only once the whole file has been read.
  cryst = XyzReader(source, cryst).read();
}

void read_xyz(Crystal &cryst, std::string_view filename) { read_xyz(cryst, filename, {}); }

} // namespace morvak::crystal
