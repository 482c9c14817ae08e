#include "crystal/shared_records.hpp"

#include "crystal/helper_thread.hpp"
#include "crystal/plain_atoms.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace morvak::crystal {

namespace {

// A segment's last line may run on past the segment by this much; a longer
// one ends the shared read, and the caller reads it.
constexpr std::size_t longest_split_line = 4096;
constexpr std::size_t smallest_segment = std::size_t{64} << 10;
constexpr std::size_t largest_segment = std::size_t{256} << 10;
// Slots per thread: parsed segments may wait this far ahead of the one due.
constexpr std::size_t slots_per_thread = 3;

// One parsed segment, waiting for its turn. Slots filled by different
// threads at once must not share a cache line.
struct alignas(64) Slot {
  std::vector<Symbol> names;
  std::vector<Vec3> xyz;
  std::size_t atoms = 0;
  std::uint64_t bytes = 0;
  bool whole = false;  // its records end where the next segment's begin
  bool direct = false; // its records went straight to the output
  bool ready = false;
};

// Up to `length` bytes from `offset`; fewer only at the end of the file. A
// failed read counts as the end: the caller's own read then reports it.
std::size_t read_at(int fd, char *out, std::size_t length, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t count = ::pread(fd, out + got, length - got, static_cast<off_t>(offset + got));
    if (count > 0)
      got += static_cast<std::size_t>(count);
    else if (count == 0 || errno != EINTR)
      break;
  }
  return got;
}

class SharedRead {
public:
  SharedRead(int fd, std::uint64_t begin, std::uint64_t end, std::size_t max_atoms,
             const Element_map &table, unsigned threads, RecordArrays &out)
      : fd_(fd), begin_(begin), end_(end), max_atoms_(max_atoms), table_(table), out_(out) {
    const std::uint64_t length = end - begin;
    segment_ = std::clamp<std::uint64_t>(length / (std::uint64_t{threads} * 32), smallest_segment,
                                         largest_segment);
    segments_ = (length + segment_ - 1) / segment_;
    slots_.resize(std::size_t{threads} * slots_per_thread);
  }

  // Runs segments until none is left or the read has ended.
  void work(const std::function<void()> *check_stop) noexcept {
    try {
      PlainAtoms plain(table_);
      const auto buffer = std::make_unique_for_overwrite<char[]>(buffer_size());
      for (;;) {
        if (check_stop != nullptr)
          (*check_stop)();
        std::uint64_t k = 0;
        // The segment due next has no one to wait for: its records go
        // straight to the output, which no other thread touches until it
        // is handed on.
        std::size_t direct_limit = 0;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [this] {
            return done_ || next_claim_ >= segments_ || next_claim_ < next_commit_ + slots_.size();
          });
          if (done_ || next_claim_ >= segments_)
            return;
          k = next_claim_++;
          if (k == next_commit_)
            direct_limit = max_atoms_ - atoms_;
        }
        parse(k, slots_[k % slots_.size()], plain, buffer.get(), direct_limit);
        {
          const std::lock_guard lock(mutex_);
          slots_[k % slots_.size()].ready = true;
          commit_ready();
        }
        changed_.notify_all();
      }
    } catch (...) {
      {
        const std::lock_guard lock(mutex_);
        if (!failure_)
          failure_ = std::current_exception();
        done_ = true;
      }
      changed_.notify_all();
    }
  }

  SharedRun result() const {
    if (failure_)
      std::rethrow_exception(failure_);
    return {atoms_, bytes_};
  }

private:
  // The byte before a segment, the segment, and the run-on of its last line.
  std::size_t buffer_size() const { return 1 + segment_ + longest_split_line; }

  // The lines that start in segment k, from the byte before it (which tells
  // whether a line starts at its first byte) to the end of its last line.
  void parse(std::uint64_t k, Slot &slot, PlainAtoms &plain, char *buffer,
             std::size_t direct_limit) {
    const std::uint64_t start = begin_ + k * segment_;
    const std::uint64_t stop = std::min(end_, start + segment_);
    const std::uint64_t from = k == 0 ? start : start - 1;
    const std::size_t wanted = std::min(end_, stop + longest_split_line) - from;
    assert(wanted <= buffer_size());
    const std::size_t got = read_at(fd_, buffer, wanted, from);
    const std::string_view data(buffer, got);
    slot.names.clear();
    slot.xyz.clear();
    slot.atoms = 0;
    slot.bytes = 0;
    slot.whole = false;
    slot.direct = direct_limit > 0;
    std::size_t first = 0;
    if (k > 0) {
      const std::size_t newline = data.find('\n');
      if (newline == std::string_view::npos)
        return; // one line spans the segment: the caller reads it
      first = newline + 1;
    }
    // The last line starting before the segment's end ends at the first line
    // feed from the segment's last byte on; the file's end ends the last.
    const std::size_t last_byte = static_cast<std::size_t>(stop - 1 - from);
    std::size_t limit = first;
    bool whole = true;
    if (first <= last_byte) {
      const std::size_t newline = data.find('\n', last_byte);
      if (newline != std::string_view::npos) {
        limit = newline + 1;
      } else if (stop == end_ || got < wanted) {
        limit = got;
      } else {
        // A line too long to split off: take the lines before it.
        const std::size_t before = data.rfind('\n', last_byte);
        limit = before == std::string_view::npos || before < first ? first : before + 1;
        whole = false;
      }
    }
    std::size_t bytes = 0;
    const std::string_view text = data.substr(first, limit - first);
    const std::size_t most = slot.direct ? direct_limit : max_atoms_;
    if (slot.direct) {
      out_.make_room(std::min(most, text.size() / PlainAtoms::shortest_record + 1));
      slot.atoms = plain.take_lines(text, most, out_.names, out_.xyz, bytes);
    } else {
      slot.atoms = plain.take_lines(text, most, slot.names, slot.xyz, bytes);
    }
    slot.bytes = bytes;
    slot.whole = whole && (bytes == text.size() || slot.atoms == most);
  }

  // Hands on the slots that are ready, in file order. Called under the lock.
  void commit_ready() {
    while (!done_ && next_commit_ < next_claim_) {
      Slot &slot = slots_[next_commit_ % slots_.size()];
      if (!slot.ready)
        return;
      slot.ready = false;
      const std::size_t count = std::min(slot.atoms, max_atoms_ - atoms_);
      if (count > 0 && !slot.direct) {
        out_.make_room(count);
        out_.names.insert(out_.names.end(), slot.names.begin(), slot.names.begin() + count);
        out_.xyz.insert(out_.xyz.end(), slot.xyz.begin(), slot.xyz.begin() + count);
      }
      atoms_ += count;
      bytes_ += slot.bytes;
      ++next_commit_;
      if (!slot.whole || atoms_ == max_atoms_ || next_commit_ == segments_)
        done_ = true;
    }
  }

  const int fd_;
  const std::uint64_t begin_;
  const std::uint64_t end_;
  const std::size_t max_atoms_;
  const Element_map &table_;
  RecordArrays &out_;
  std::uint64_t segment_ = 0;
  std::uint64_t segments_ = 0;
  std::vector<Slot> slots_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t next_claim_ = 0;
  std::uint64_t next_commit_ = 0;
  bool done_ = false;
  std::exception_ptr failure_;
  std::size_t atoms_ = 0;
  std::uint64_t bytes_ = 0;
};

} // namespace

SharedRun read_shared_records(int fd, std::uint64_t begin, std::uint64_t end, std::size_t max_atoms,
                              const Element_map &table, unsigned threads, RecordArrays &out,
                              const std::function<void()> &check_stop) {
  if (begin >= end || max_atoms == 0)
    return {};
  threads = std::max(1u, threads);
  SharedRead read(fd, begin, end, max_atoms, table, threads, out);
  {
    // Helpers are joined when this block ends, whatever happens in it.
    std::deque<HelperThread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
      try {
        helpers.emplace_back();
      } catch (const std::system_error &) {
        break; // no more threads to be had: the rest do the work
      }
      helpers.back().start([&read] { read.work(nullptr); });
    }
    read.work(&check_stop);
    for (HelperThread &helper : helpers)
      helper.wait();
  }
  return read.result();
}

} // namespace morvak::crystal
