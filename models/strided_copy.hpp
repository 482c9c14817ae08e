#pragma once

#include <complex>
#include <cstddef>

namespace morvak::models {

// A vector or matrix of T elements in someone else's memory, described as numpy
// describes an array: the address of element (0, 0) and a byte stride per axis.
// Strides may be zero or negative, and neither the address nor the strides need
// be multiples of the element's alignment.
struct StridedView {
  const std::byte *data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 1;
  std::ptrdiff_t row_stride = 0; // bytes from (i, j) to (i + 1, j)
  std::ptrdiff_t col_stride = 0; // bytes from (i, j) to (i, j + 1)
};

// Copies the view's elements bit for bit into column-major storage of
// rows * cols elements, as Armadillo keeps them. Column-major sources are one
// block copy, row-major ones a tiled transpose, anything else element by element.
template <typename T> void copy_to_column_major(const StridedView &source, T *destination);

// memcpy in pieces of 1 MiB. For very large blocks glibc's memcpy switches to
// non-temporal stores, which run at less than half the speed when the
// destination pages are fresh (first touched by this copy); pieces keep it on
// its ordinary path.
void copy_bytes(void *destination, const void *source, std::size_t bytes) noexcept;

extern template void copy_to_column_major<double>(const StridedView &, double *);
extern template void copy_to_column_major<std::complex<double>>(const StridedView &,
                                                                std::complex<double> *);

} // namespace morvak::models
