#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvak::formats {

// A reusable byte buffer that is not cleared when it grows.
class Scratch {
public:
  char *room(std::size_t size) {
    if (size > capacity_) {
      data_ = std::make_unique_for_overwrite<char[]>(size);
      capacity_ = size;
    }
    return data_.get();
  }

private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

// Random access to the bytes of a file. A regular file is read where asked
// (pread), so its text need not fit in memory at once; anything else (a pipe,
// a device) is taken in whole first, line by line, so that a source without
// line ends, such as /dev/zero, fails at the first overlong line instead of
// filling memory.
class TextFile {
public:
  static constexpr std::size_t max_line_length = std::size_t{1} << 20;

  // Opens `path`; throws FileError when it can't be opened or is a directory.
  explicit TextFile(std::string path);
  ~TextFile();
  TextFile(const TextFile &) = delete;
  TextFile &operator=(const TextFile &) = delete;

  std::uint64_t size() const { return size_; }
  const std::string &path() const { return path_; }

  // The `length` bytes from `offset`, held in `scratch` or in the file's own
  // copy; valid until the next call with the same scratch. Throws FileError
  // when reading fails or the file has become shorter.
  std::string_view bytes(std::uint64_t offset, std::size_t length, Scratch &scratch) const;

  // Copies up to `length` bytes from `offset` to `out` and returns how many
  // there were (fewer only at the end of the file). Throws FileError.
  std::size_t read_into(std::uint64_t offset, char *out, std::size_t length) const;

  // Throws FormatError "<path>:<line>: <message>".
  [[noreturn]] void fail(long line, const std::string &message) const;

private:
  void take_whole();

  std::string path_;
  int fd_ = -1;
  bool regular_ = false;
  std::uint64_t size_ = 0;
  std::vector<char> contents_; // the whole text of a file that is not regular
};

} // namespace morvak::formats
