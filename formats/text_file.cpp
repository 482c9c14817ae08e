#include "formats/text_file.hpp"

#include "crystal/errors.hpp"
#include "crystal/line_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvak::formats {

namespace {

[[noreturn]] void throw_file_error(int error_number, const std::string &path) {
  throw crystal::FileError(error_number, path, crystal::file_error_message(error_number, path));
}

} // namespace

TextFile::TextFile(std::string path) : path_(std::move(path)) {
  if (path_.find('\0') != std::string::npos)
    throw crystal::FileError(EINVAL, path_,
                             "Invalid argument: the file name contains a NUL character");
  // Opening a FIFO blocks until a writer appears; O_NONBLOCK avoids that and
  // is cleared below, so a FIFO without a writer reads as an empty file.
  do
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0)
    throw_file_error(errno, path_);
  struct stat info {};
  int error_number = 0;
  if (::fstat(fd_, &info) != 0)
    error_number = errno;
  else if (S_ISDIR(info.st_mode))
    error_number = EISDIR;
  else if (const int flags = ::fcntl(fd_, F_GETFL);
           flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0)
    error_number = errno;
  if (error_number != 0) {
    ::close(fd_);
    fd_ = -1;
    throw_file_error(error_number, path_);
  }
  regular_ = S_ISREG(info.st_mode);
  if (regular_)
    size_ = static_cast<std::uint64_t>(info.st_size);
  else
    take_whole();
}

TextFile::~TextFile() {
  if (fd_ >= 0)
    ::close(fd_);
}

void TextFile::take_whole() {
  std::size_t line_start = 0; // where the line being read began
  for (;;) {
    const std::size_t used = contents_.size();
    contents_.resize(std::max<std::size_t>(used + (std::size_t{64} << 10), used * 3 / 2));
    ssize_t count;
    do
      count = ::read(fd_, contents_.data() + used, contents_.size() - used);
    while (count < 0 && errno == EINTR);
    if (count < 0) {
      const int error_number = errno;
      contents_.clear();
      throw_file_error(error_number, path_);
    }
    contents_.resize(used + static_cast<std::size_t>(count));
    if (count == 0)
      break;
    const char *data = contents_.data();
    for (const char *p = data + used, *end = data + contents_.size();;) {
      const auto *newline = static_cast<const char *>(std::memchr(p, '\n', end - p));
      if (newline == nullptr)
        break;
      line_start = static_cast<std::size_t>(newline - data) + 1;
      p = newline + 1;
    }
    if (contents_.size() - line_start > max_line_length) {
      const long line = 1 + std::count(data, data + line_start, '\n');
      fail(line, "expected a line of at most " + std::to_string(max_line_length) +
                     " bytes, found a longer line");
    }
  }
  contents_.shrink_to_fit();
  size_ = contents_.size();
}

std::string_view TextFile::bytes(std::uint64_t offset, std::size_t length, Scratch &scratch) const {
  if (offset > size_ || length > size_ - offset)
    throw crystal::FileError(EIO, path_, "the file changed while it was read: '" + path_ + "'");
  if (!regular_)
    return {contents_.data() + offset, length};
  char *const data = scratch.room(length);
  // A short read means the file shrank since it was measured.
  if (read_into(offset, data, length) != length)
    throw crystal::FileError(EIO, path_, "the file changed while it was read: '" + path_ + "'");
  return {data, length};
}

std::size_t TextFile::read_into(std::uint64_t offset, char *out, std::size_t length) const {
  if (offset >= size_)
    return 0;
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
  if (!regular_) {
    std::memcpy(out, contents_.data() + offset, length);
    return length;
  }
  std::size_t done = 0;
  while (done < length) {
    const ssize_t count =
        ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0)
      throw_file_error(errno, path_);
    if (count == 0)
      break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}

void TextFile::fail(long line, const std::string &message) const {
  throw crystal::FormatError(path_ + ":" + std::to_string(line) + ": " + message);
}

} // namespace morvak::formats
