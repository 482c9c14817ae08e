#include "models/strided_copy.hpp"

#include <algorithm>
#include <cstring>

namespace morvak::models {

template <typename T> void copy_to_column_major(const StridedView &source, T *destination) {
  constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
  const std::size_t rows = source.rows;
  const std::size_t cols = source.cols;
  if (rows == 0 || cols == 0)
    return;
  // A stride along an axis of length 1 is never followed, whatever its value.
  const bool columns_packed = rows == 1 || source.row_stride == size;
  const bool columns_adjacent =
      cols == 1 || source.col_stride == size * static_cast<std::ptrdiff_t>(rows);
  if (columns_packed && columns_adjacent) {
    std::memcpy(destination, source.data, rows * cols * sizeof(T));
    return;
  }
  if (columns_packed) {
    for (std::size_t j = 0; j < cols; ++j)
      std::memcpy(destination + j * rows,
                  source.data + static_cast<std::ptrdiff_t>(j) * source.col_stride,
                  rows * sizeof(T));
    return;
  }
  // Square tiles of 512-byte edges: the rows of a tile that a row-major source
  // brings into cache stay there until the tile's columns are written.
  constexpr std::size_t tile = std::max<std::size_t>(1, 512 / sizeof(T));
  for (std::size_t j0 = 0; j0 < cols; j0 += tile) {
    const std::size_t j1 = std::min(cols, j0 + tile);
    for (std::size_t i0 = 0; i0 < rows; i0 += tile) {
      const std::size_t i1 = std::min(rows, i0 + tile);
      for (std::size_t j = j0; j < j1; ++j) {
        const std::byte *column = source.data + static_cast<std::ptrdiff_t>(j) * source.col_stride;
        T *out = destination + j * rows;
        // memcpy: the source element may be unaligned, and its bits are kept as they are.
        for (std::size_t i = i0; i < i1; ++i)
          std::memcpy(out + i, column + static_cast<std::ptrdiff_t>(i) * source.row_stride,
                      sizeof(T));
      }
    }
  }
}

template void copy_to_column_major<double>(const StridedView &, double *);
template void copy_to_column_major<std::complex<double>>(const StridedView &,
                                                         std::complex<double> *);

} // namespace morvak::models
