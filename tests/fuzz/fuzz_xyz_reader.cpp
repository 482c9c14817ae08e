// Arbitrary bytes as an XYZ file. The input goes to an in-memory file that is
// read by its /proc path, so every run takes the reader's real path (open,
// fstat, buffered reads) without a file on disk per input. A read either
// succeeds with consistent arrays or throws FormatError; anything else (a
// crash, a sanitizer report, another exception) is a finding.
#include "crystal/xyz.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int memory_file() {
  static const int fd = [] {
    const int created = ::memfd_create("fuzz.xyz", MFD_CLOEXEC);
    if (created < 0)
      std::abort();
    return created;
  }();
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const int fd = memory_file();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  morvak::crystal::Crystal cryst;
  try {
    morvak::crystal::read_xyz(cryst, path);
  } catch (const morvak::crystal::FormatError &) {
    return 0;
  }
  const auto atoms = static_cast<std::size_t>(cryst.natom > 0 ? cryst.natom : 0);
  if (!cryst.name || !cryst.xyz || cryst.name->size() != atoms || cryst.xyz->size() != atoms)
    std::abort();
  return 0;
}
