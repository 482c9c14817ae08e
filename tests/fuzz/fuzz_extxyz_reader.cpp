// Arbitrary bytes as an extended or plain XYZ file, read through the reader's
// real path (open, fstat, pread) from an in-memory file. Every frame read must
// be consistent: as many atomic numbers (1 to 118) as finite positions. A read
// either succeeds or throws FormatError; anything else is a finding.
#include "formats/elements.hpp"
#include "formats/structure_files.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int memory_file() {
  static const int fd = [] {
    const int created = ::memfd_create("fuzz.extxyz", MFD_CLOEXEC);
    if (created < 0)
      std::abort();
    return created;
  }();
  return fd;
}

void check(const std::vector<morvak::formats::Frame> &frames) {
  for (const auto &frame : frames) {
    if (frame.numbers.size() != frame.positions.size())
      std::abort();
    for (const std::uint8_t number : frame.numbers)
      if (morvak::formats::element_symbol(number).empty())
        std::abort();
    for (const auto &position : frame.positions)
      for (const double coordinate : position)
        if (!std::isfinite(coordinate))
          std::abort();
    for (const auto &vector : frame.cell)
      for (const double component : vector)
        if (!std::isfinite(component))
          std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const int fd = memory_file();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  using morvak::formats::Format;
  try {
    morvak::formats::detect_format(path);
  } catch (const morvak::formats::FormatError &) {
  }
  for (const Format format : {Format::extxyz, Format::xyz}) {
    try {
      check(morvak::formats::read_frames(path, format, {true, 0}));
    } catch (const morvak::formats::FormatError &) {
    }
  }
  return 0;
}
