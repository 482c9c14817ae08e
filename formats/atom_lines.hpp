#pragma once

#include "formats/extxyz_header.hpp"
#include "formats/frame_scan.hpp"
#include "formats/text_file.hpp"

namespace morvak::formats {

// Parses the atom lines of the frame at `extent` into frame.numbers and
// frame.positions, column by column as `header` says. The lines are read
// piecewise in parts of atoms_per_part lines, which large frames spread over
// several threads, all joined before the call returns. Throws FormatError
// naming the first faulty line.
void parse_atom_lines(const TextFile &file, const FrameExtent &extent, const FrameHeader &header,
                      Frame &frame);

} // namespace morvak::formats
