#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>

namespace morvak::formats {

// Where a writer puts its text. A regular file, or a name that does not exist
// yet, is replaced atomically: the text goes to a temporary file beside the
// final target (symlinks followed, and kept), which is renamed over it only by
// commit(); until then, and on any failure, the target is untouched. A
// replaced file keeps its mode, and its owner and group where the caller may
// set them. A target that exists and is not a regular file (a FIFO, a
// device such as /dev/null or /dev/stdout) is opened and written in place.
// Errors are FileError naming the target.
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
  void open_in_place(const std::string &path);
  void open_replacement(const std::string &final_path, const struct stat *existing);

  std::string target_;    // the name the caller gave, for messages
  std::string final_;     // the file that a replacement is renamed over
  std::string temporary_; // empty when writing in place
  int fd_ = -1;
  bool committed_ = false;
};

} // namespace morvak::formats
