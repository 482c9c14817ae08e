#pragma once

#include "formats/extxyz_header.hpp"
#include "formats/text_file.hpp"

#include <cstddef>
#include <string_view>

namespace morvak::formats {

// Parses `natom` atom lines from `text` (each ended by a line end, the last
// one possibly by the end of the text) into frame.numbers and
// frame.positions, column by column as `header` says. Large frames are
// parsed in line-aligned parts on several threads, all joined before the
// call returns. `first_line` is the number of the first atom line, for
// messages. Throws FormatError naming the first faulty line.
void parse_atom_lines(std::string_view text, std::size_t natom, const FrameHeader &header,
                      const TextFile &file, long first_line, Frame &frame);

} // namespace morvak::formats
