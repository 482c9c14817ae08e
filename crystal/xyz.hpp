#pragma once

#include "crystal/crystal.hpp"
#include "crystal/errors.hpp"

#include <string_view>

namespace morvak::crystal {

// Fills `cryst` from the XYZ file `filename` (trailing blanks are not part of
// the name). Throws FileError when the file can't be opened or read,
// FormatError for malformed content, and std::logic_error with the text
// "Attempting to allocate already allocated variable 'cryst'" when the record
// already holds coordinates. On failure `cryst` keeps no partial arrays.
void read_xyz(Crystal &cryst, std::string_view filename);

// Writes `cryst` in the XYZ record layout. The target is replaced atomically:
// the text goes to a temporary file beside it that is renamed over it only when
// complete. Throws FileError on I/O failure and std::invalid_argument when the
// arrays are absent or shorter than natom; the old file is then untouched.
void write_xyz(const Crystal &cryst, std::string_view filename);

} // namespace morvak::crystal
