#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace morvak::crystal {

// Asked from time to time while a read runs or waits for input (a FIFO, a
// terminal); returning true ends the read with the exception Interrupted.
// Called on the reading thread only. An empty function never stops a read.
using StopRequest = std::function<bool()>;

// Reads a text file line by line through a buffer of bounded size, so that any
// input, even an endless device such as /dev/zero, takes bounded memory. Lines
// come without their line end; a CR before the LF is dropped, so CRLF files
// read like LF files. A line longer than max_line_length is a FormatError.
class LineSource {
public:
  static constexpr std::size_t max_line_length = std::size_t{1} << 20;

  // Opens `filename`; throws FileError when it can't be opened or is a directory.
  explicit LineSource(std::string filename, StopRequest stop = {});
  ~LineSource();
  LineSource(const LineSource &) = delete;
  LineSource &operator=(const LineSource &) = delete;

  // Stores the next line in `line` (valid until the next call) and returns
  // true, or returns false at the end of the file. Throws FileError when
  // reading fails.
  bool next_line(std::string_view &line);

  // The complete lines buffered ahead, each with its line end, and at the end
  // of the file the last line also without one; empty only at the end of the
  // file. Reads more when little is buffered. Valid until the next call of
  // any member but skip().
  std::string_view lines_ahead();
  // Passes over the first `bytes` of lines_ahead(), which hold `lines` lines.
  void skip(std::size_t bytes, long lines);

  // Passes over `bytes` more, holding `lines` lines, which may lie beyond
  // what is buffered; only a regular file can go beyond. Throws FileError
  // when the file can't be repositioned.
  void advance(std::uint64_t bytes, long lines);

  // Bytes passed over since the start of the file.
  std::uint64_t offset() const { return offset_; }
  // The open file, for reads at given offsets (pread) that leave its
  // position alone; valid while this object lives.
  int descriptor() const { return fd_; }
  bool is_regular() const { return regular_; }

  // Asks the stop request when it was last asked long enough ago; throws
  // Interrupted when it says stop.
  void check_stop();

  // Number of the line last returned by next_line, counting from 1.
  long line_number() const { return line_number_; }
  const std::string &filename() const { return filename_; }
  // Size in bytes of a regular file, 0 for anything else.
  std::size_t file_size() const { return file_size_; }
  // Bytes of a regular file that its blocks hold data for: less than its size
  // when it has holes. 0 for anything else.
  std::size_t data_size() const { return data_size_; }

private:
  void read_more(std::size_t &scan_from);
  void wait_for_input();
  void ask_stop();
  [[noreturn]] void fail_long_line() const;

  std::string filename_;
  StopRequest stop_;
  int fd_ = -1;
  bool regular_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0; // first byte not yet returned
  std::size_t end_ = 0;   // one past the last byte read
  bool at_eof_ = false;
  long line_number_ = 0;
  std::size_t file_size_ = 0;
  std::size_t data_size_ = 0;
  long long last_asked_ns_ = 0;
  std::uint64_t offset_ = 0;
};

// "<reason>: '<filename>'", the text of a FileError for `error_number`.
std::string file_error_message(int error_number, const std::string &filename);

} // namespace morvak::crystal
