#include "crystal/output_file.hpp"
#include "crystal/record_fields.hpp"
#include "formats/elements.hpp"
#include "formats/structure_files.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace morvak::formats {

namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;
// Room for the longest line: the comment line with nine reals.
constexpr std::size_t longest_line = 512;

// Lines gather in a buffer that goes to the file whenever it fills up.
class LineWriter {
public:
  explicit LineWriter(crystal::OutputFile &file)
      : file_(file), buffer_(std::make_unique_for_overwrite<char[]>(buffer_size)) {}

  char *line() {
    if (buffer_size - used_ < longest_line)
      flush();
    return buffer_.get() + used_;
  }
  // Ends the line at `end`, dropping trailing blanks.
  void end_line(char *end) {
    while (end > buffer_.get() + used_ && end[-1] == ' ')
      --end;
    *end++ = '\n';
    used_ = static_cast<std::size_t>(end - buffer_.get());
  }
  void flush() {
    file_.write(buffer_.get(), used_);
    used_ = 0;
  }

private:
  crystal::OutputFile &file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

char *put_text(char *out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// `value` with 17 significant digits and no padding.
char *put_compact_real(char *out, double value) {
  char field[crystal::real_field_width];
  crystal::put_real(field, value);
  std::string_view text(field, sizeof field);
  text.remove_prefix(text.find_first_not_of(' '));
  text = text.substr(0, text.find(' '));
  return put_text(out, text);
}

void check_frames(const std::vector<FrameView> &frames) {
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const FrameView &frame = frames[k];
    const std::string where = "frame " + std::to_string(k + 1);
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 3; ++j)
        if (!std::isfinite(frame.cell[i][j]))
          throw std::invalid_argument(where + ": component " + std::to_string(j + 1) +
                                      " of cell vector " + std::to_string(i + 1) +
                                      " is not a finite number");
    for (std::size_t atom = 0; atom < frame.natom; ++atom) {
      if (element_symbol(frame.numbers[atom]).empty())
        throw std::invalid_argument(where + ": atom " + std::to_string(atom + 1) +
                                    " has atomic number " + std::to_string(frame.numbers[atom]) +
                                    ", outside 1 to 118");
      for (const double coordinate : frame.positions[atom])
        if (!std::isfinite(coordinate))
          throw std::invalid_argument(where + ": a coordinate of atom " + std::to_string(atom + 1) +
                                      " is not a finite number");
    }
  }
}

char *put_extxyz_comment(char *p, const FrameView &frame) {
  bool has_cell = false;
  for (const Vec3 &vector : frame.cell)
    for (const double component : vector)
      has_cell = has_cell || component != 0.0;
  if (has_cell) {
    p = put_text(p, "Lattice=\"");
    for (std::size_t k = 0; k < 9; ++k) {
      if (k > 0)
        *p++ = ' ';
      p = put_compact_real(p, frame.cell[k / 3][k % 3]);
    }
    p = put_text(p, "\" ");
  }
  p = put_text(p, "Properties=species:S:1:pos:R:3 pbc=\"");
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (axis > 0)
      *p++ = ' ';
    *p++ = frame.pbc[axis] ? 'T' : 'F';
  }
  *p++ = '"';
  return p;
}

} // namespace

void write_frames(const std::string &path, Format format, const std::vector<FrameView> &frames) {
  if (format == Format::morvak)
    throw std::invalid_argument("write_frames: the toolkit's own layout is written by write_xyz");
  check_frames(frames);
  if (path.find('\0') != std::string::npos)
    throw FileError(EINVAL, path, "Invalid argument: the file name contains a NUL character");
  crystal::OutputFile file(path);
  LineWriter out(file);
  for (const FrameView &frame : frames) {
    char *p = out.line();
    p = put_text(p, std::to_string(frame.natom));
    out.end_line(p);
    p = out.line();
    if (format == Format::extxyz)
      p = put_extxyz_comment(p, frame);
    out.end_line(p);
    for (std::size_t atom = 0; atom < frame.natom; ++atom) {
      p = out.line();
      const std::string_view symbol = element_symbol(frame.numbers[atom]);
      p = put_text(p, symbol);
      if (symbol.size() == 1)
        *p++ = ' ';
      for (const double coordinate : frame.positions[atom]) {
        *p++ = ' ';
        p = crystal::put_real(p, coordinate);
      }
      out.end_line(p);
    }
  }
  out.flush();
  file.commit();
}

} // namespace morvak::formats
