#include "crystal/output_file.hpp"
#include "crystal/record_fields.hpp"
#include "crystal/xyz.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvak::crystal {

namespace {

constexpr std::size_t output_buffer = std::size_t{1} << 20;
// The longest record is the cell record: " cell: ", nine blank-led real
// fields, six "  " pairs around the blank text items, two "  |  " and a line end.
constexpr std::size_t longest_record = 7 + 9 * (1 + real_field_width) + 6 * 2 + 2 * 4 + 1;

std::string trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1));
}

// Records gather in a buffer that goes to the file whenever it fills up.
class RecordWriter {
public:
  explicit RecordWriter(OutputFile &file) : file_(file), buffer_(output_buffer) {}

  // Room for one more record of at most longest_record characters.
  char *record() {
    if (buffer_.size() - used_ < longest_record)
      flush();
    return buffer_.data() + used_;
  }
  void end_record(char *end) {
    *end++ = '\n';
    used_ = static_cast<std::size_t>(end - buffer_.data());
  }
  void flush() {
    file_.write(buffer_.data(), used_);
    used_ = 0;
  }

private:
  OutputFile &file_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

char *put_text(char *out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
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

  OutputFile file(target);
  RecordWriter out(file);

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

  const auto &names = *cryst.name;
  const auto &xyz = *cryst.xyz;
  for (std::int32_t atom = 0; atom < cryst.natom; ++atom) {
    p = out.record();
    *p++ = ' ';
    p = put_text(p, names[atom].view());
    for (const double coordinate : xyz[atom]) {
      *p++ = ' ';
      p = put_real(p, coordinate);
    }
    out.end_record(p);
  }
  out.flush();
  file.commit();
}

} // namespace morvak::crystal
