#pragma once

#include "formats/structure_files.hpp"
#include "formats/text_file.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morvak::formats {

// What one column of an atom line holds for the reader.
enum class Column : std::uint8_t { skip, species, x, y, z };

// The comment line of a frame, as far as the reader needs it.
struct FrameHeader {
  std::array<Vec3, 3> cell{};
  std::array<bool, 3> pbc{};
  std::vector<Column> columns; // one entry per column of an atom line
  bool more_columns_allowed = false;
};

// The header of a plain XYZ frame: a symbol and three coordinates, further
// columns ignored, a zero cell and no periodicity.
FrameHeader plain_xyz_header();

// Parses an extended XYZ comment line: key=value pairs parted by blanks,
// values bare, in double quotes (with backslash escapes) or in brackets; a key
// without a value is a flag. Lattice holds nine reals (the cell vectors one
// after another), Properties the columns as name:type:count triples (types S,
// R, I, L; species:S:1 and pos:R:3 required; the default is
// species:S:1:pos:R:3), pbc one or three of T, F, True, False. Without pbc a
// frame with a Lattice is periodic along every axis, one without is not.
// Other keys are read and ignored. Throws FormatError naming `file`:`line`.
FrameHeader parse_extxyz_header(std::string_view comment, const TextFile &file, long line);

// True when `comment` holds a Lattice, Properties or pbc key with a value:
// the mark of an extended XYZ file.
bool looks_like_extxyz(std::string_view comment);

} // namespace morvak::formats
