#include "models/strided_copy.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

namespace morvak::models {
namespace {

// Square tiles of 512-byte edges: the rows of a tile that a row-major source
// brings into cache stay there until the tile's columns are written.
template <typename T> constexpr std::size_t tile = std::max<std::size_t>(1, 512 / sizeof(T));

constexpr std::size_t parallel_bytes = std::size_t{1} << 23;

// Columns [j_begin, j_end) of the view, tile by tile, any strides.
template <typename T>
void copy_tiles(const StridedView &source, T *destination, std::size_t j_begin,
                std::size_t j_end) noexcept {
  const std::size_t rows = source.rows;
  for (std::size_t j0 = j_begin; j0 < j_end; j0 += tile<T>) {
    const std::size_t j1 = std::min(j_end, j0 + tile<T>);
    for (std::size_t i0 = 0; i0 < rows; i0 += tile<T>) {
      const std::size_t i1 = std::min(rows, i0 + tile<T>);
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

} // namespace

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
    copy_bytes(destination, source.data, rows * cols * sizeof(T));
    return;
  }
  if (columns_packed) {
    for (std::size_t j = 0; j < cols; ++j)
      std::memcpy(destination + j * rows,
                  source.data + static_cast<std::ptrdiff_t>(j) * source.col_stride,
                  rows * sizeof(T));
    return;
  }
  // Large transposes take both halves of the columns at once, one on a
  // helper thread; the copy holds no lock and touches disjoint columns.
  if (rows * cols * sizeof(T) >= parallel_bytes && std::thread::hardware_concurrency() > 1) {
    const std::size_t middle = std::min(cols, (cols / 2 + tile<T> - 1) / tile<T> * tile<T>);
    try {
      std::thread helper([&] { copy_tiles(source, destination, middle, cols); });
      copy_tiles(source, destination, 0, middle);
      helper.join();
      return;
    } catch (const std::system_error &) {
      // No thread to be had: the one below does all of it.
    }
  }
  copy_tiles(source, destination, 0, cols);
}

void copy_bytes(void *destination, const void *source, std::size_t bytes) noexcept {
  constexpr std::size_t piece = std::size_t{1} << 20;
  auto *out = static_cast<std::byte *>(destination);
  const auto *in = static_cast<const std::byte *>(source);
  for (std::size_t done = 0; done < bytes; done += piece)
    std::memcpy(out + done, in + done, std::min(piece, bytes - done));
}

template void copy_to_column_major<double>(const StridedView &, double *);
template void copy_to_column_major<std::complex<double>>(const StridedView &,
                                                         std::complex<double> *);

} // namespace morvak::models
