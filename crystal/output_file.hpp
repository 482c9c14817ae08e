#pragma once

#include <string>
#include <sys/stat.h>

namespace morvak::crystal {

// Where write_xyz puts its text. A regular file, or a name that does not exist
// yet, is replaced atomically: the text goes to a temporary file in the
// directory of the final target (symlinks followed, and kept), which is renamed
// over it only by commit(); until then, and on any failure, the target is
// untouched. The caller must be able to open an existing target for writing.
// A replaced file keeps its mode, and its owner and group where the caller may
// set them; a new file gets the mode that open(2) with 0666 and the umask
// gives. Hard links to the old file keep the old content. A target that
// exists and is not a regular file (a FIFO, a terminal, /dev/null,
// /dev/stdout) is never replaced: it is opened and written in place. Errors
// are FileError naming `target`; a blocked open or write of a FIFO or device
// that a signal interrupts fails with EINTR instead of waiting on.
class OutputFile {
public:
  explicit OutputFile(std::string target);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

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

} // namespace morvak::crystal
