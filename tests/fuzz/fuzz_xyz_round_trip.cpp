// Random records written and read back. Records with finite values must read
// back exactly (17 significant digits identify a double); a record holding
// Inf or NaN must be refused before anything is written.
#include "crystal/xyz.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

using morvak::crystal::Crystal;

// Every bit pattern is a double: subnormals, signed zeros, Inf and NaN included.
double any_double(FuzzedDataProvider &input) {
  return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}

bool same(double a, double b) { return a == b && std::signbit(a) == std::signbit(b); }

const std::string &work_file() {
  static const std::string path = [] {
    // A memory-backed folder when there is one: the writer syncs every file.
    std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    folder += "/morvak-fuzz-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr)
      std::abort();
    return folder + "/record.xyz";
  }();
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  morvak::crystal::Element_map table;
  table.initialize();

  Crystal record;
  bool finite = true;
  for (auto &vector : record.cell)
    for (double &component : vector) {
      component = any_double(input);
      finite = finite && std::isfinite(component);
    }
  record.natom = input.ConsumeIntegralInRange<std::int32_t>(0, 64);
  record.name.emplace();
  record.xyz.emplace();
  for (std::int32_t atom = 0; atom < record.natom; ++atom) {
    record.name->push_back(
        table.get_element_symbol(input.ConsumeIntegralInRange<std::int32_t>(1, 118)));
    morvak::crystal::Vec3 position{};
    for (double &component : position) {
      component = any_double(input);
      finite = finite && std::isfinite(component);
    }
    record.xyz->push_back(position);
  }

  const std::string &file = work_file();
  ::unlink(file.c_str());
  try {
    morvak::crystal::write_xyz(record, file);
  } catch (const std::invalid_argument &) {
    if (finite || ::access(file.c_str(), F_OK) == 0)
      std::abort();
    return 0;
  }
  if (!finite)
    std::abort();

  Crystal back;
  morvak::crystal::read_xyz(back, file);
  if (back.natom != record.natom || back.name != record.name)
    std::abort();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!same(back.cell[i][j], record.cell[i][j]))
        std::abort();
  for (std::int32_t atom = 0; atom < record.natom; ++atom)
    for (int j = 0; j < 3; ++j)
      if (!same((*back.xyz)[atom][j], (*record.xyz)[atom][j]))
        std::abort();
  return 0;
}
