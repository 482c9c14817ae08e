#pragma once

#include "crystal/crystal.hpp"
#include "crystal/errors.hpp"
#include "crystal/line_source.hpp"

#include <string_view>

namespace morvak::crystal {

// Fills `cryst` from the XYZ file `filename` (trailing blanks are not part of
// the name): the atom count, then the cell as three labelled vectors, then one
// record per atom holding an atomic number (1 to 118) or an element symbol as
// the table writes it ("Si", "H"), and three coordinates. Items are free-form:
// see FreeFormReader. An empty item or a slash leaves its target unchanged:
// the count and the cell keep the record's values, a coordinate stays 0; an
// atom without its atomic number is an error. A count of 0 gives empty
// arrays; a negative count is an error. Large files are parsed on two threads
// where the process may use two CPUs; the result is the same. Throws
// FileError when the file can't be opened or read, FormatError
// "<file>:<line>: ..." for malformed content (naming morvak.read when the
// file looks like a common or extended XYZ file), AllocationError (a
// std::bad_alloc) when the arrays can't grow, Interrupted when `stop` asks to
// stop, and std::logic_error with the text "Attempting to allocate already
// allocated variable 'cryst'" when the record already holds coordinates,
// before the file is opened. On failure `cryst` is left as it was.
void read_xyz(Crystal &cryst, std::string_view filename, const StopRequest &stop);
void read_xyz(Crystal &cryst, std::string_view filename);
void read_xyz(Crystal &cryst, std::string_view filename);

// Writes `cryst` in the XYZ record layout. A regular file is replaced
// atomically: the text goes to a temporary file beside the final target of
// any symlinks, renamed over it only when complete; a FIFO or device is
// written in place (see OutputFile). Throws FileError on I/O failure or when
// the caller can't open the target for writing, and std::invalid_argument
// when the arrays are absent or shorter than natom, or when a cell or
// coordinate value is infinite or NaN; the old file is then untouched.
void write_xyz(const Crystal &cryst, std::string_view filename);

} // namespace morvak::crystal
