#pragma once

#include <armadillo>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <stdio_ext.h>
#include <system_error>

namespace morvak {

static_assert(sizeof(arma::uword) == 8, "Armadillo must use 64-bit element counts");

namespace detail {

// Indices and sizes arrive as signed 32-bit ints and are handed to Armadillo
// as unsigned 64-bit counts. The conversion sign-extends, so a negative value
// becomes 2^64 minus its magnitude and fails Armadillo's bounds and size checks.
inline arma::uword widen(int n) { return static_cast<arma::uword>(static_cast<std::int64_t>(n)); }

// Refuses a negative size before anything changes, with the text Armadillo
// gives for it when the partner size is non-zero. With a zero partner the
// widened count would pass Armadillo's checks and make an empty matrix of
// 2^64 - 1 rows or columns, which loops like that many rows in a transpose.
inline void check_size(int rows, int cols) {
  if (rows >= 0 && cols >= 0)
    return;
  if (rows == 1 || cols == 1)
    throw std::logic_error("arma::memory::acquire(): requested size is too large");
  throw std::logic_error("Mat::init(): requested size is too large");
}

// Armadillo's printer with no header line, flushed so that the text reaches the
// process's standard output before control returns to the caller.
//
// A failed write (a full disk, a closed pipe) is reported with its errno. The
// stream's error state and the unwritten rest are then dropped, since a bad
// std::cout would silently swallow every later print of the process.
template <typename Object> void print_flushed(const Object &object) {
  errno = 0;
  object.print("");
  std::cout.flush();
  if (std::cout.good())
    return;
  const int error = errno != 0 ? errno : EIO;
  std::cout.clear();
  __fpurge(stdout);
  clearerr(stdout);
  throw std::system_error(error, std::generic_category(),
                          "print(): could not write to standard output");
}

} // namespace detail
} // namespace morvak
