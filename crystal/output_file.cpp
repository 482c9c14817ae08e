#include "crystal/output_file.hpp"

#include "crystal/errors.hpp"
#include "crystal/line_source.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <random>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace morvak::crystal {

namespace {

// The kernel's own limit on symlinks followed in one lookup.
constexpr int max_symlinks = 40;

[[noreturn]] void throw_file_error(int error_number, const std::string &target) {
  throw FileError(error_number, target, file_error_message(error_number, target));
}

std::string directory_of(const std::string &path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Links in /proc (/proc/self/fd/1, reached from /dev/stdout) name open files,
// not directory entries: their text need not be a path.
bool in_procfs(const std::string &directory) {
  struct statfs info {};
  return ::statfs(directory.empty() ? "." : directory.c_str(), &info) == 0 &&
         info.f_type == PROC_SUPER_MAGIC;
}

std::string read_link(const std::string &path, const std::string &target) {
  std::vector<char> text(256);
  for (;;) {
    const ssize_t size = ::readlink(path.c_str(), text.data(), text.size());
    if (size < 0)
      throw_file_error(errno, target);
    if (static_cast<std::size_t>(size) < text.size())
      return std::string(text.data(), static_cast<std::size_t>(size));
    text.resize(text.size() * 2);
  }
}

} // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
  if (target_.empty())
    throw_file_error(ENOENT, target_);
  // Follow the chain of symlinks by hand, so that the replacement goes beside
  // the final target and the links stay.
  std::string path = target_;
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno != ENOENT)
        throw_file_error(errno, target_);
      open_replacement(path, nullptr); // a new file
      return;
    }
    if (S_ISREG(info.st_mode)) {
      open_replacement(path, &info);
      return;
    }
    if (!S_ISLNK(info.st_mode)) {
      if (S_ISDIR(info.st_mode))
        throw_file_error(EISDIR, target_);
      open_in_place(target_);
      return;
    }
    if (hops == max_symlinks)
      throw_file_error(ELOOP, target_);
    if (in_procfs(directory_of(path))) {
      open_in_place(target_);
      return;
    }
    const std::string link = read_link(path, target_);
    path = link.starts_with('/') ? link : directory_of(path) + link;
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0)
    ::close(fd_);
  if (!committed_ && !temporary_.empty())
    ::unlink(temporary_.c_str());
}

void OutputFile::open_in_place(const std::string &path) {
  // No O_TRUNC: a FIFO or device has nothing to truncate, and a regular file
  // reached here (through /proc, or swapped in meanwhile) is truncated below.
  // A FIFO without a reader blocks here; a signal ends the wait with EINTR.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0)
    throw_file_error(errno, target_);
  struct stat info {};
  if (::fstat(fd_, &info) != 0)
    throw_file_error(errno, target_);
  if (S_ISREG(info.st_mode) && ::ftruncate(fd_, 0) != 0)
    throw_file_error(errno, target_);
}

void OutputFile::open_replacement(const std::string &final_path, const struct stat *existing) {
  final_ = final_path;
  if (existing != nullptr) {
    // Refuse what open(target, "w") would refuse (permissions, a read-only
    // file system, an immutable file), before anything is written.
    const int probe = ::open(final_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (probe < 0)
      throw_file_error(errno, target_);
    ::close(probe);
  }
  const std::string directory = directory_of(final_);
  const std::string base = final_.substr(directory.size());
  std::random_device entropy;
  for (int attempt = 0; fd_ < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", entropy(), entropy());
    // A dot-file with a short stem, so the name stays within NAME_MAX.
    temporary_ = directory + "." + base.substr(0, 200) + suffix;
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt == 16)) {
      temporary_.clear();
      throw_file_error(errno, target_);
    }
  }
  if (existing != nullptr) {
    // Owner first: a change of owner may clear the set-user-ID bits that the
    // mode then restores. Where the caller may not set the owner, the group
    // may still be settable (a group the caller belongs to).
    if (::fchown(fd_, existing->st_uid, existing->st_gid) != 0)
      (void)::fchown(fd_, static_cast<uid_t>(-1), existing->st_gid);
    ::fchmod(fd_, existing->st_mode & 07777);
  }
}

void OutputFile::write(const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      // A FIFO or terminal may block for good: let a signal end the wait.
      if (errno == EINTR && !temporary_.empty())
        continue;
      throw_file_error(errno, target_);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void OutputFile::commit() {
  if (temporary_.empty()) {
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR)
      throw_file_error(errno, target_);
    committed_ = true;
    return;
  }
  if (::fsync(fd_) != 0)
    throw_file_error(errno, target_);
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0)
    throw_file_error(errno, target_);
  if (::rename(temporary_.c_str(), final_.c_str()) != 0)
    throw_file_error(errno, target_);
  committed_ = true;
}

} // namespace morvak::crystal
