#include "blas/memory.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace morvak::blas {

void advise_huge_pages(void *data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  if (bytes < (std::size_t{1} << 22))
    return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
  // Advice only: a kernel without transparent huge pages refuses it, and the
  // memory works the same.
  if (last > first)
    (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

} // namespace morvak::blas

extern "C" void *morvak_arma_allocate(std::size_t bytes) noexcept {
  void *data = nullptr;
  const std::size_t alignment = bytes >= 1024 ? 32 : 16;
  if (posix_memalign(&data, alignment, bytes) != 0)
    return nullptr;
  morvak::blas::advise_huge_pages(data, bytes);
  return data;
}

extern "C" void morvak_arma_release(void *data) noexcept { std::free(data); }
