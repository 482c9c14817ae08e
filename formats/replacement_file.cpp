#include "formats/replacement_file.hpp"

#include "crystal/errors.hpp"
#include "crystal/line_source.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace morvak::formats {

namespace {

[[noreturn]] void throw_file_error(int error_number, const std::string &target) {
  throw crystal::FileError(error_number, target, crystal::file_error_message(error_number, target));
}

} // namespace

ReplacementFile::ReplacementFile(std::string target) : target_(std::move(target)) {
  if (target_.find('\0') != std::string::npos)
    throw crystal::FileError(EINVAL, target_,
                             "Invalid argument: the file name contains a NUL character");
  struct stat info {};
  if (::stat(target_.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    throw_file_error(EISDIR, target_);
  const auto slash = target_.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = target_.substr(slash == std::string::npos ? 0 : slash + 1);
  std::random_device entropy;
  for (int attempt = 0; fd_ < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", entropy(), entropy());
    // A dot-file with a short stem, so the name stays within NAME_MAX.
    temporary_ = directory + "." + base.substr(0, 200) + suffix;
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt == 16))
      throw_file_error(errno, target_);
  }
  if (::stat(target_.c_str(), &info) == 0 && S_ISREG(info.st_mode))
    ::fchmod(fd_, info.st_mode & 07777);
}

ReplacementFile::~ReplacementFile() {
  if (fd_ >= 0)
    ::close(fd_);
  if (!committed_)
    ::unlink(temporary_.c_str());
}

void ReplacementFile::write(const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      throw_file_error(errno, target_);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void ReplacementFile::commit() {
  if (::fsync(fd_) != 0)
    throw_file_error(errno, target_);
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0)
    throw_file_error(errno, target_);
  if (::rename(temporary_.c_str(), target_.c_str()) != 0)
    throw_file_error(errno, target_);
  committed_ = true;
}

} // namespace morvak::formats
