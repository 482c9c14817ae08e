// A small team of worker threads that lives for one call: no pool survives the
// call, so a fork between calls finds no threads to lose.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace morvak::models {

// Number of worker threads for a call: the hardware's, at most `limit`, at least 1.
unsigned team_size(std::size_t limit);

// Runs body(id, stop) on `threads` new threads (id = 0 .. threads-1) and joins them.
// The calling thread does no work: it calls poll() about every 50 ms, and when
// poll returns true it raises `stop`, which bodies check between units of work.
// Returns true when stopped that way. An exception thrown by a body stops the
// others and is rethrown here after the join.
bool run_team(unsigned threads,
              const std::function<void(unsigned, const std::atomic<bool> &)> &body,
              const std::function<bool()> &poll);

// OpenBLAS's own thread count, set to one for the life of this object, so that
// several workers each solving small problems do not oversubscribe the cores.
class SerialBlas {
public:
  SerialBlas();
  ~SerialBlas();
  SerialBlas(const SerialBlas &) = delete;
  SerialBlas &operator=(const SerialBlas &) = delete;

private:
  int saved_;
};

} // namespace morvak::models
