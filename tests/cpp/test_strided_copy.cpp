#include "models/strided_copy.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <vector>

using morvak::models::copy_to_column_major;
using morvak::models::StridedView;

namespace {

using cplx = std::complex<double>;

template <typename T> T value_at(std::size_t i, std::size_t j) {
  // Distinct bit patterns everywhere, the sign of zero included.
  const double re = i == 0 && j == 0 ? -0.0 : static_cast<double>(i * 1000 + j) + 0.25;
  if constexpr (std::is_same_v<T, double>)
    return re;
  else
    return T(re, -re - 0.5);
}

// Element layout in a byte buffer: element (i, j) at origin + i * rs + j * cs,
// where the origin is `offset` bytes into the buffer (odd offsets: unaligned).
struct Layout {
  const char *name;
  std::ptrdiff_t row_step; // in elements
  std::ptrdiff_t col_step;
  bool rows_reversed;
  bool cols_reversed;
  std::size_t offset;
};

template <typename T> void check(const Layout &layout, std::size_t rows, std::size_t cols) {
  const auto size = static_cast<std::ptrdiff_t>(sizeof(T));
  const std::ptrdiff_t rs = layout.row_step * size * (layout.rows_reversed ? -1 : 1);
  const std::ptrdiff_t cs = layout.col_step * size * (layout.cols_reversed ? -1 : 1);
  const auto reach = [&](std::size_t n, std::ptrdiff_t step) {
    return n == 0 ? 0 : static_cast<std::ptrdiff_t>(n - 1) * (step < 0 ? -step : step);
  };
  std::vector<std::byte> buffer(layout.offset + reach(rows, rs) + reach(cols, cs) + sizeof(T));
  std::byte *origin = buffer.data() + layout.offset + (rs < 0 ? reach(rows, rs) : 0) +
                      (cs < 0 ? reach(cols, cs) : 0);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) {
      // With a zero stride several indices share one element; the expected
      // values below are read back from the buffer, as numpy would read them.
      const T v = value_at<T>(i, j);
      std::memcpy(origin + static_cast<std::ptrdiff_t>(i) * rs +
                      static_cast<std::ptrdiff_t>(j) * cs,
                  &v, sizeof(T));
    }
  std::vector<T> out(rows * cols);
  copy_to_column_major(StridedView{origin, rows, cols, rs, cs}, out.data());
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) {
      T expected;
      std::memcpy(&expected,
                  origin + static_cast<std::ptrdiff_t>(i) * rs +
                      static_cast<std::ptrdiff_t>(j) * cs,
                  sizeof(T));
      ASSERT_EQ(std::memcmp(&out[i + j * rows], &expected, sizeof(T)), 0)
          << layout.name << " " << rows << "x" << cols << " at (" << i << ", " << j << ")";
    }
}

} // namespace

template <typename T> class StridedCopyTest : public ::testing::Test {};
using Scalars = ::testing::Types<double, cplx>;
TYPED_TEST_SUITE(StridedCopyTest, Scalars);

TYPED_TEST(StridedCopyTest, EveryLayoutCopiesEveryElementBitForBit) {
  for (auto [rows, cols] : std::vector<std::pair<std::size_t, std::size_t>>{
           {0, 0}, {0, 3}, {3, 0}, {1, 1}, {1, 7}, {7, 1}, {5, 9}, {70, 33}, {129, 130}}) {
    const auto m = static_cast<std::ptrdiff_t>(rows);
    const auto n = static_cast<std::ptrdiff_t>(cols);
    const Layout layouts[] = {
        {"column-major", 1, m, false, false, 0},
        {"row-major", n, 1, false, false, 0},
        {"row-major, unaligned", n, 1, false, false, 3},
        {"column-major, unaligned", 1, m, false, false, 1},
        {"padded columns", 1, m + 2, false, false, 0},
        {"every third row", 3, 3 * m, false, false, 0},
        {"both reversed", n, 1, true, true, 0},
        {"columns reversed", 1, m, false, true, 0},
        {"broadcast rows", 0, 1, false, false, 0},
        {"broadcast columns", 1, 0, false, false, 0},
    };
    for (const Layout &layout : layouts)
      check<TypeParam>(layout, rows, cols);
  }
}
