#include "crystal/output_file.hpp"
#include "crystal/record_fields.hpp"
#include "crystal/xyz.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace morvak::crystal {

namespace {

constexpr std::size_t output_buffer = std::size_t{1} << 20;
// The longest record is the cell record: " cell: ", nine blank-led real
// fields, six "  " pairs around the blank text items, two "  |  " and a line end.
constexpr std::size_t longest_record = 7 + 9 * (1 + real_field_width) + 6 * 2 + 2 * 4 + 1;
// Every atom record has the same length: a blank, the two-character symbol,
// three blank-led real fields and a line end.
constexpr std::size_t atom_record = 1 + Symbol::size() + 3 * (1 + real_field_width) + 1;
// Formatting the reals is most of the work; it is shared among threads only
// when each gets enough atoms to outweigh starting a thread.
constexpr std::size_t atoms_per_thread = 512;
constexpr unsigned max_threads = 4;

std::string trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1));
}

// Records gather in a buffer that goes to the file whenever it fills up. It
// is no larger than the whole text, and left uninitialised: every byte sent
// to the file has been written first.
class RecordWriter {
public:
  RecordWriter(OutputFile &file, std::size_t text_size)
      : file_(file), size_(std::min(output_buffer, std::max(text_size, longest_record))),
        buffer_(std::make_unique_for_overwrite<char[]>(size_)) {}

  // Room for one more record of at most longest_record characters.
  char *record() {
    if (size_ - used_ < longest_record)
      flush();
    return buffer_.get() + used_;
  }
  void end_record(char *end) {
    *end++ = '\n';
    used_ = static_cast<std::size_t>(end - buffer_.get());
  }
  // Room for up to `wanted` atom records: their count, and where they go.
  std::pair<std::size_t, char *> atom_records(std::size_t wanted) {
    if ((size_ - used_) / atom_record == 0)
      flush();
    return {std::min(wanted, (size_ - used_) / atom_record), buffer_.get() + used_};
  }
  void end_atom_records(std::size_t count) { used_ += count * atom_record; }
  void flush() {
    file_.write(buffer_.get(), used_);
    used_ = 0;
  }

private:
  OutputFile &file_;
  std::size_t size_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

char *put_text(char *out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Atom records first .. first + count - 1, atom_record characters each.
void put_atoms(const Crystal &cryst, std::size_t first, std::size_t count, char *out) noexcept {
  const auto &names = *cryst.name;
  const auto &xyz = *cryst.xyz;
  for (std::size_t atom = first; atom < first + count; ++atom) {
    *out++ = ' ';
    out = put_text(out, names[atom].view());
    for (const double coordinate : xyz[atom]) {
      *out++ = ' ';
      out = put_real(out, coordinate);
    }
    *out++ = '\n';
  }
}

// Blocks every signal in the calling thread while it lives, so that the
// threads it starts inherit the mask and signals go to the caller's threads.
class SignalsBlocked {
public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked &) = delete;
  SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
  sigset_t saved_;
};

// put_atoms, shared among up to max_threads threads for large counts. The
// records are fixed-width, so each thread knows where its part goes. Where a
// thread can't be started, the calling thread does that part.
void put_atoms_in_parallel(const Crystal &cryst, std::size_t first, std::size_t count, char *out) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t parts = std::min({cores, std::size_t{max_threads}, count / atoms_per_thread});
  if (parts <= 1) {
    put_atoms(cryst, first, count, out);
    return;
  }
  const std::size_t share = count / parts;
  std::vector<std::jthread> helpers;
  helpers.reserve(parts - 1);
  {
    const SignalsBlocked blocked;
    for (std::size_t part = 1; part < parts; ++part) {
      const std::size_t start = part * share;
      const std::size_t length = part + 1 == parts ? count - start : share;
      char *where = out + start * atom_record;
      try {
        helpers.emplace_back([&cryst, first, start, length, where] {
          put_atoms(cryst, first + start, length, where);
        });
      } catch (const std::system_error &) {
        put_atoms(cryst, first + start, length, where);
      }
    }
  }
  put_atoms(cryst, first, share, out);
}

void check_arrays(const Crystal &cryst) {
  const auto needed = static_cast<std::size_t>(cryst.natom > 0 ? cryst.natom : 0);
  if (!cryst.name || !cryst.xyz)
    throw std::invalid_argument("write_xyz: the record's name and xyz arrays must be present");
  if (cryst.name->size() < needed || cryst.xyz->size() < needed)
    throw std::invalid_argument(
        "write_xyz: the record holds " + std::to_string(cryst.name->size()) + " names and " +
        std::to_string(cryst.xyz->size()) + " positions for natom " + std::to_string(cryst.natom));
  // Inf and NaN are no decimal numbers: the reader would refuse the file.
  const auto check_finite = [](double value, std::string_view where, std::size_t number, int axis) {
    if (!std::isfinite(value))
      throw std::invalid_argument("write_xyz: component " + std::string(1, "xyz"[axis]) + " of " +
                                  std::string(where) + " " + std::to_string(number) + " is " +
                                  std::to_string(value) + ", not a finite number");
  };
  for (std::size_t i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      check_finite(cryst.cell[i][j], "cell vector", i + 1, j);
  for (std::size_t atom = 0; atom < needed; ++atom)
    for (int j = 0; j < 3; ++j)
      check_finite((*cryst.xyz)[atom][j], "atom", atom + 1, j);
}

} // namespace

void write_xyz(const Crystal &cryst, std::string_view filename) {
  check_arrays(cryst);
  const std::string target = trim_trailing_blanks(filename);
  if (target.find('\0') != std::string::npos)
    throw FileError(EINVAL, target, "Invalid argument: the file name contains a NUL character");

  const auto natom = static_cast<std::size_t>(std::max(cryst.natom, std::int32_t{0}));
  OutputFile file(target);
  RecordWriter out(file, 2 * longest_record + natom * atom_record);

  char *p = out.record();
  *p++ = ' ';
  out.end_record(put_count(p, cryst.natom));

  // Items "cell: ", x, " ", y, " ", z, " | ", ... joined by single blanks.
  p = out.record();
  p = put_text(p, " cell: ");
  for (int i = 0; i < 3; ++i) {
    p = put_text(p, i == 0 ? " " : "  |  ");
    for (int j = 0; j < 3; ++j) {
      if (j > 0)
        p = put_text(p, "   ");
      p = put_real(p, cryst.cell[i][j]);
    }
  }
  out.end_record(p);

  for (std::size_t atom = 0; atom < natom;) {
    const auto [count, where] = out.atom_records(natom - atom);
    put_atoms_in_parallel(cryst, atom, count, where);
    out.end_atom_records(count);
    atom += count;
  }
  out.flush();
  file.commit();
}

} // namespace morvak::crystal
