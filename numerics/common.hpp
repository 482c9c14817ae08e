#pragma once

#include <armadillo>
#include <cstdint>
#include <iostream>

namespace morvak {

static_assert(sizeof(arma::uword) == 8, "Armadillo must use 64-bit element counts");

namespace detail {

// Indices and sizes arrive as signed 32-bit ints and are handed to Armadillo
// as unsigned 64-bit counts. The conversion sign-extends, so a negative value
// becomes 2^64 minus its magnitude and fails Armadillo's bounds and size checks.
inline arma::uword widen(int n) { return static_cast<arma::uword>(static_cast<std::int64_t>(n)); }

// Armadillo's printer with no header line, flushed so that the text reaches the
// process's standard output before control returns to the caller.
template <typename Object> void print_flushed(const Object &object) {
  object.print("");
  std::cout.flush();
}

} // namespace detail
} // namespace morvak
