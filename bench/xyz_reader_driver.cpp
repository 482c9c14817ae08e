// Profiling driver for the XYZ reader and writer; not built by default.
//
//   g++ -O3 -std=c++20 -I. bench/xyz_reader_driver.cpp build/<dir>/crystal/libmorvak_crystal.a \
//       -o /tmp/xyz_driver
//   /tmp/xyz_driver read FILE [REPEATS]        time read_xyz, print a digest of the result
//   /tmp/xyz_driver write FILE OUT [REPEATS]   read FILE once, time write_xyz to OUT
//
// The digest (FNV-1a over the count, the cell, the symbols and the coordinate
// bits) tells whether two builds read a file to exactly the same record.
#include "crystal/xyz.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using morvak::crystal::Crystal;

namespace {

std::uint64_t digest(const Crystal &cryst) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](const void *data, std::size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < size; ++i)
      hash = (hash ^ bytes[i]) * 1099511628211ull;
  };
  mix(&cryst.natom, sizeof cryst.natom);
  mix(cryst.cell.data(), sizeof cryst.cell);
  if (cryst.name)
    mix(cryst.name->data(), cryst.name->size() * sizeof(cryst.name->front()));
  if (cryst.xyz)
    mix(cryst.xyz->data(), cryst.xyz->size() * sizeof(cryst.xyz->front()));
  return hash;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char *what, std::vector<double> times, const Crystal &cryst) {
  std::sort(times.begin(), times.end());
  std::printf("%s: natom %d  min %.2f ms  median %.2f ms  digest %016llx\n", what, cryst.natom,
              times.front() * 1e3, times[times.size() / 2] * 1e3,
              static_cast<unsigned long long>(digest(cryst)));
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3 || (std::strcmp(argv[1], "write") == 0 && argc < 4)) {
    std::fprintf(stderr, "usage: %s read FILE [REPEATS] | write FILE OUT [REPEATS]\n", argv[0]);
    return 2;
  }
  const bool write = std::strcmp(argv[1], "write") == 0;
  const int repeat_arg = write ? 4 : 3;
  const int repeats = argc > repeat_arg ? std::max(1, std::atoi(argv[repeat_arg])) : 1;
  std::vector<double> times;
  Crystal cryst;
  if (!write) {
    for (int i = 0; i < repeats; ++i) {
      cryst = Crystal{};
      const auto start = std::chrono::steady_clock::now();
      morvak::crystal::read_xyz(cryst, argv[2]);
      times.push_back(seconds_since(start));
    }
    report("read", times, cryst);
    return 0;
  }
  morvak::crystal::read_xyz(cryst, argv[2]);
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    morvak::crystal::write_xyz(cryst, argv[3]);
    times.push_back(seconds_since(start));
  }
  report("write", times, cryst);
  return 0;
}
