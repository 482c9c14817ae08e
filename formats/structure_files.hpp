#pragma once

#include "crystal/crystal.hpp"
#include "crystal/errors.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvak::formats {

using crystal::FileError;
using crystal::FormatError;
using crystal::Vec3;

// The structure file formats: the toolkit's own XYZ layout (read and written
// by the crystal library), extended XYZ and plain XYZ.
enum class Format { morvak, extxyz, xyz };

std::string_view format_name(Format format);
// The format named `name` ("morvak", "extxyz", "xyz"), if any.
std::optional<Format> format_from_name(std::string_view name);

// One structure as the XYZ formats hold it. Atoms are given by atomic number
// (1 to 118); `pbc` tells whether the structure is periodic along each cell
// vector.
struct Frame {
  std::array<Vec3, 3> cell{};
  std::array<bool, 3> pbc{};
  std::vector<std::uint8_t> numbers;
  std::vector<Vec3> positions;
};

// The format of the file at `path`, judged from its second line: a
// "Lattice=", "Properties=" or "pbc=" key makes it extended XYZ, a label
// followed by real numbers (a labelled cell vector) the toolkit's own layout,
// anything else plain XYZ. Throws FileError when the file can't be read.
Format detect_format(const std::string &path);

// Which frames of a file to read: all of them, or the one at `index`
// (negative values count from the end, as in Python).
struct FrameSelection {
  bool all = false;
  long index = -1;
};

// Frames of the extended or plain XYZ file at `path`. Plain XYZ frames have
// a zero cell and no periodicity; so do extended XYZ frames without a
// Lattice. Memory stays bounded by what the file holds: no count is trusted
// before the lines it announces have been seen. Throws FileError for I/O
// failures, FormatError "<file>:<line>: expected ..., found ..." for
// malformed content, and std::out_of_range when `selection` names no frame.
std::vector<Frame> read_frames(const std::string &path, Format format, FrameSelection selection);

// A frame to write, borrowing its arrays from the caller.
struct FrameView {
  std::array<Vec3, 3> cell{};
  std::array<bool, 3> pbc{};
  const std::uint8_t *numbers = nullptr;
  const Vec3 *positions = nullptr;
  std::size_t natom = 0;
};

// Writes `frames` to `path` as extended XYZ (Lattice, Properties and pbc on
// each comment line) or plain XYZ (an empty comment line), every real with 17
// significant digits, so that a reader converting them to doubles gets the
// same values bit for bit. The target is replaced atomically. Throws
// std::invalid_argument for a non-finite value or an atomic number outside
// 1 to 118 (nothing is written then), FileError for I/O failures.
void write_frames(const std::string &path, Format format, const std::vector<FrameView> &frames);

} // namespace morvak::formats
