#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace morvak::crystal {

// Reads a text file line by line through a buffer of bounded size, so that any
// input, even an endless device such as /dev/zero, takes bounded memory. Lines
// come without their line end; a CR before the LF is dropped, so CRLF files
// read like LF files. A line longer than max_line_length is a FormatError.
class LineSource {
public:
  static constexpr std::size_t max_line_length = std::size_t{1} << 20;

  // Opens `filename`; throws FileError when it can't be opened or is a directory.
  explicit LineSource(std::string filename);
  ~LineSource();
  LineSource(const LineSource &) = delete;
  LineSource &operator=(const LineSource &) = delete;

  // Stores the next line in `line` (valid until the next call) and returns
  // true, or returns false at the end of the file. Throws FileError when
  // reading fails.
  bool next_line(std::string_view &line);

  // Number of the line last returned by next_line, counting from 1.
  long line_number() const { return line_number_; }
  const std::string &filename() const { return filename_; }
  // Size in bytes of a regular file, 0 for anything else.
  std::size_t file_size() const { return file_size_; }

private:
  void read_more(std::size_t &scan_from);

  std::string filename_;
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0; // first byte not yet returned
  std::size_t end_ = 0;   // one past the last byte read
  bool at_eof_ = false;
  long line_number_ = 0;
  std::size_t file_size_ = 0;
};

// "<reason>: '<filename>'", the text of a FileError for `error_number`.
std::string file_error_message(int error_number, const std::string &filename);

} // namespace morvak::crystal
