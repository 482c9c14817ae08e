#pragma once

#include "formats/text_file.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morvak::formats {

// Atom lines are parsed in parts of this many lines (the last may be shorter).
inline constexpr std::size_t atoms_per_part = std::size_t{1} << 16;

// Where one frame of an XYZ file lies: its comment line and its atom lines.
struct FrameExtent {
  std::uint64_t begin = 0;       // offset of the comment line
  std::uint64_t atoms_begin = 0; // offset of the first atom line
  std::uint64_t end = 0;         // one past the last atom line's line end
  long comment_line = 0;         // number of the comment line, counting from 1
  std::size_t natom = 0;
  // Offsets of atom lines atoms_per_part, 2 atoms_per_part, ...: where the
  // parts after the first begin.
  std::vector<std::uint64_t> part_offsets;
};

// Reads a file line by line in blocks of bounded size.
class LineCursor {
public:
  explicit LineCursor(const TextFile &file) : file_(file) {}

  // The next line without its line end (a CR before the LF is kept), or
  // false at the end of the file. A line longer than the block is an error.
  bool next_line(std::string_view &line);
  // Passes over up to `count` lines and returns how many there were.
  std::size_t skip_lines(std::size_t count);
  // Offset of the first byte not yet consumed.
  std::uint64_t offset() const { return block_offset_ + pos_; }
  // Number of the last line consumed, counting from 1.
  long line_number() const { return line_number_; }

private:
  bool load();

  const TextFile &file_;
  Scratch scratch_;
  std::uint64_t block_offset_ = 0;
  std::string_view block_;
  std::size_t pos_ = 0;
  long line_number_ = 0;
};

// Every frame of an XYZ file: an atom count line, a comment line and that
// many atom lines, over and over. Blank lines may end the file. Throws
// FormatError naming the file and line when a count is malformed or the file
// ends inside a frame.
std::vector<FrameExtent> scan_frames(const TextFile &file);

// `text` without leading and trailing blanks, tabs and CRs.
std::string_view trim_blanks(std::string_view text);

} // namespace morvak::formats
