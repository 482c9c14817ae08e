#pragma once

#include "crystal/crystal.hpp"
#include "crystal/element.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace morvak::crystal {

// How far a shared read of plain records got.
struct SharedRun {
  std::size_t atoms = 0;   // records handed on
  std::uint64_t bytes = 0; // length of their lines (exact unless atoms reached the limit)
};

// Where the records go: appended to both arrays, in file order, by one
// thread at a time. `make_room(n)` is called before up to n more are
// appended, and may reserve for them.
struct RecordArrays {
  std::vector<Symbol> &names;
  std::vector<Vec3> &xyz;
  std::function<void(std::size_t)> make_room;
};

// Reads the plain atom records (those PlainAtoms takes, one per line) of the
// regular file open as `fd`, from byte `begin` (the start of a line) to byte
// `end`, on up to `threads` threads. The range is cut into segments of lines,
// which each thread reads with pread() into a buffer of its own and parses
// into a slot of its own, or straight into `out` when every segment before
// it has been handed on; the slots reach `out` in file order, and only a few
// are ahead at any time, so memory stays bounded. The read stops after
// `max_atoms` records, and before the first line that PlainAtoms refuses or
// that is too long to be split off; the caller reads on from there.
// `check_stop` is called on the calling thread between segments. Whatever a
// thread throws ends the read once every thread has stopped, and is rethrown.
SharedRun read_shared_records(int fd, std::uint64_t begin, std::uint64_t end, std::size_t max_atoms,
                              const Element_map &table, unsigned threads, RecordArrays &out,
                              const std::function<void()> &check_stop);

} // namespace morvak::crystal
