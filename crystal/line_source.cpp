#include "crystal/line_source.hpp"

#include "crystal/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace morvak::crystal {

namespace {

constexpr std::size_t small_buffer = std::size_t{64} << 10;
constexpr std::size_t large_buffer = std::size_t{1} << 20;

} // namespace

std::string file_error_message(int error_number, const std::string &filename) {
  // std::system_category().message is thread-safe, unlike strerror.
  return std::system_category().message(error_number) + ": '" + filename + "'";
}

LineSource::LineSource(std::string filename) : filename_(std::move(filename)) {
  if (filename_.find('\0') != std::string::npos)
    throw FileError(EINVAL, filename_, "Invalid argument: the file name contains a NUL character");
  // Opening a FIFO blocks until a writer appears; O_NONBLOCK avoids that and
  // is cleared below, so a FIFO without a writer reads as an empty file.
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
    if (S_ISREG(info.st_mode))
      file_size_ = static_cast<std::size_t>(info.st_size);
  }
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    const int error_number = errno;
    ::close(fd_);
    throw FileError(error_number, filename_, file_error_message(error_number, filename_));
  }
  // A small file gets a buffer just big enough to take it in one read.
  capacity_ =
      file_size_ > 0 ? std::clamp(file_size_ + 1, std::size_t{4096}, large_buffer) : small_buffer;
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
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
      begin_ = stop + 1;
      break;
    }
    if (end_ - begin_ > max_line_length)
      throw FormatError(filename_ + ":" + std::to_string(line_number_ + 1) +
                        ": expected a line of at most " + std::to_string(max_line_length) +
                        " bytes, found a longer line");
    if (at_eof_) {
      if (begin_ == end_)
        return false;
      line = std::string_view(data + begin_, end_ - begin_);
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
    if (errno != EINTR) {
      const int error_number = errno;
      throw FileError(error_number, filename_, file_error_message(error_number, filename_));
    }
  }
}

} // namespace morvak::crystal
