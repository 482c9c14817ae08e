#pragma once

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

} // namespace morvak::crystal
