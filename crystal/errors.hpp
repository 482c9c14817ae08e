#pragma once

#include <array>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

namespace morvak::crystal {

// The file could not be opened, read or written. Carries the errno value and
// the file name so that callers can raise the matching OSError.
class FileError : public std::runtime_error {
public:
  FileError(int error_number, std::string filename, const std::string &message)
      : std::runtime_error(message), error_number_(error_number), filename_(std::move(filename)) {}
  int error_number() const { return error_number_; }
  const std::string &filename() const { return filename_; }

private:
  int error_number_;
  std::string filename_;
};

// The file's content does not have the expected layout. The message names the
// file and line, what was expected and what was found, e.g.
// "cell.xyz:3: expected a real number for cell vector 2, found 'abc'".
class FormatError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The read was stopped by its stop request (for instance on Ctrl-C) before
// the file was read.
class Interrupted : public std::runtime_error {
public:
  Interrupted() : std::runtime_error("the read was interrupted") {}
};

// The per-atom arrays could not be grown. what() reads
// "Error allocating <n> bytes", n being the size of the failed request. The
// text lives inline so that building or copying the exception never allocates.
class AllocationError : public std::bad_alloc {
public:
  explicit AllocationError(unsigned long bytes) {
    std::snprintf(message_.data(), message_.size(), "Error allocating %lu bytes", bytes);
  }
  const char *what() const noexcept override { return message_.data(); }

private:
  std::array<char, 64> message_{};
};

} // namespace morvak::crystal
