#pragma once

#include <cstddef>
#include <string>

namespace morvak::formats {

// A new file beside `target` that replaces it on commit() and is removed
// otherwise, so the target is never left half-written. An existing target
// keeps its permissions. Errors are FileError naming the target.
class ReplacementFile {
public:
  explicit ReplacementFile(std::string target);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile &) = delete;
  ReplacementFile &operator=(const ReplacementFile &) = delete;

  void write(const char *data, std::size_t size);
  // Makes the written text durable and puts it in place.
  void commit();

private:
  std::string target_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

} // namespace morvak::formats
