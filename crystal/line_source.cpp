#include "crystal/line_source.hpp"

#include "crystal/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace morvak::crystal {

namespace {

constexpr std::size_t stream_buffer = std::size_t{64} << 10;
constexpr std::size_t smallest_buffer = std::size_t{4} << 10;
constexpr std::size_t largest_buffer = std::size_t{1} << 20;
// How long a read waits for input before it asks its stop request again.
constexpr int wait_ms = 100;

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

} // namespace

std::string file_error_message(int error_number, const std::string &filename) {
  // std::system_category().message is thread-safe, unlike strerror.
  return std::system_category().message(error_number) + ": '" + filename + "'";
}

LineSource::LineSource(std::string filename, StopRequest stop)
    : filename_(std::move(filename)), stop_(std::move(stop)) {
  if (filename_.find('\0') != std::string::npos)
    throw FileError(EINVAL, filename_, "Invalid argument: the file name contains a NUL character");
  // Opening a FIFO blocks until a writer appears; O_NONBLOCK avoids that. It
  // stays set for everything but regular files, so that a read never blocks
  // for long: while no input comes, the read waits in poll() and asks its
  // stop request in between. A FIFO without a writer reads as an empty file.
  do
    fd_ = ::open(filename_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    const int error_number = errno;
    throw FileError(error_number, filename_, file_error_message(error_number, filename_));
  }
  struct stat info {};
  if (::fstat(fd_, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      ::close(fd_);
      throw FileError(EISDIR, filename_, file_error_message(EISDIR, filename_));
    }
    if (S_ISREG(info.st_mode)) {
      regular_ = true;
      file_size_ = static_cast<std::size_t>(info.st_size);
      // Holes hold no data; some file systems report no blocks at all.
      const auto allocated = static_cast<std::size_t>(info.st_blocks) * 512;
      data_size_ = info.st_blocks > 0 ? std::min(file_size_, allocated) : file_size_;
    }
  }
  if (regular_) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int error_number = errno;
      ::close(fd_);
      throw FileError(error_number, filename_, file_error_message(error_number, filename_));
    }
  }
  // A buffer of a sixteenth of the file keeps the memory of small reads close
  // to that of the arrays read, and large files are read in large blocks.
  capacity_ =
      regular_ ? std::clamp(file_size_ / 16, smallest_buffer, largest_buffer) : stream_buffer;
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  last_asked_ns_ = now_ns();
}

LineSource::~LineSource() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool LineSource::next_line(std::string_view &line) {
  std::size_t scan_from = begin_;
  for (;;) {
    const char *data = buffer_.get();
    if (const void *newline = std::memchr(data + scan_from, '\n', end_ - scan_from)) {
      const auto stop = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
      line = std::string_view(data + begin_, stop - begin_);
      offset_ += stop + 1 - begin_;
      begin_ = stop + 1;
      break;
    }
    if (end_ - begin_ > max_line_length)
      fail_long_line();
    if (at_eof_) {
      if (begin_ == end_)
        return false;
      line = std::string_view(data + begin_, end_ - begin_);
      offset_ += end_ - begin_;
      begin_ = end_;
      break;
    }
    read_more(scan_from);
  }
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  ++line_number_;
  return true;
}

void LineSource::read_more(std::size_t &scan_from) {
  // Keep the unfinished line at the front of the buffer, then fill the rest.
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    scan_from -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    const std::size_t grown = std::min(capacity_ * 2, max_line_length + 1);
    auto bigger = std::make_unique_for_overwrite<char[]>(grown);
    std::memcpy(bigger.get(), buffer_.get(), end_);
    buffer_ = std::move(bigger);
    capacity_ = grown;
  }
  for (;;) {
    const ssize_t count = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (count > 0) {
      end_ += static_cast<std::size_t>(count);
      return;
    }
    if (count == 0) {
      at_eof_ = true;
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait_for_input();
    } else if (errno == EINTR) {
      ask_stop();
    } else {
      const int error_number = errno;
      throw FileError(error_number, filename_, file_error_message(error_number, filename_));
    }
  }
}

std::string_view LineSource::lines_ahead() {
  for (;;) {
    // Regular files are read ahead in large blocks; other input is taken as
    // it comes, so that a writer is never waited for while lines are buffered.
    if (regular_ && !at_eof_ && end_ - begin_ < capacity_ / 2) {
      std::size_t scan_from = begin_;
      read_more(scan_from);
      continue;
    }
    const std::string_view buffered(buffer_.get() + begin_, end_ - begin_);
    const std::size_t last = buffered.rfind('\n');
    if (last != std::string_view::npos)
      return buffered.substr(0, last + 1);
    if (at_eof_)
      return buffered;
    if (buffered.size() > max_line_length)
      fail_long_line();
    std::size_t scan_from = begin_;
    read_more(scan_from);
  }
}

void LineSource::skip(std::size_t bytes, long lines) {
  begin_ += bytes;
  offset_ += bytes;
  line_number_ += lines;
}

void LineSource::advance(std::uint64_t bytes, long lines) {
  if (bytes <= end_ - begin_) {
    skip(static_cast<std::size_t>(bytes), lines);
    return;
  }
  const std::uint64_t target = offset_ + bytes;
  if (!regular_ || ::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) {
    const int error_number = regular_ ? errno : ESPIPE;
    throw FileError(error_number, filename_, file_error_message(error_number, filename_));
  }
  begin_ = 0;
  end_ = 0;
  at_eof_ = false;
  offset_ = target;
  line_number_ += lines;
}

void LineSource::check_stop() {
  if (stop_ && now_ns() - last_asked_ns_ >= wait_ms * 1'000'000LL)
    ask_stop();
}

void LineSource::ask_stop() {
  last_asked_ns_ = now_ns();
  if (stop_ && stop_())
    throw Interrupted();
}

void LineSource::wait_for_input() {
  pollfd request{fd_, POLLIN, 0};
  const int ready = ::poll(&request, 1, stop_ ? wait_ms : -1);
  // Nothing came, or a signal arrived: a chance to stop. When poll() fails
  // otherwise, the next read() reports the error.
  if (ready == 0 || (ready < 0 && errno == EINTR))
    ask_stop();
}

void LineSource::fail_long_line() const {
  throw FormatError(filename_ + ":" + std::to_string(line_number_ + 1) +
                    ": expected a line of at most " + std::to_string(max_line_length) +
                    " bytes, found a longer line");
}

} // namespace morvak::crystal
