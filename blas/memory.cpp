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

namespace {
thread_local bool transient = false;
} // namespace

TransientBlocks::TransientBlocks() noexcept : outer_(transient) { transient = true; }
TransientBlocks::~TransientBlocks() { transient = outer_; }

} // namespace morvak::blas

// malloc with room to move the block up to Armadillo's alignment, and the
// pointer malloc gave kept just before the block. glibc's posix_memalign
// splits the chunks it hands out, and a 32 MB result freed and asked for again
// then met fresh pages (and huge-page compaction) on every product: 1.4x
// numpy's time for a real product at n = 2000.
extern "C" void *morvak_arma_allocate(std::size_t bytes) noexcept {
  constexpr std::size_t alignment = 32;
  if (bytes > SIZE_MAX - alignment)
    return nullptr;
  void *raw = std::malloc(bytes + alignment);
  if (raw == nullptr)
    return nullptr;
  // malloc aligns to at least 8 bytes, so the block starts 8 or more bytes in.
  const std::uintptr_t start =
      (reinterpret_cast<std::uintptr_t>(raw) + alignment) & ~std::uintptr_t{alignment - 1};
  void *data = reinterpret_cast<void *>(start);
  static_cast<void **>(data)[-1] = raw;
  if (!morvak::blas::transient)
    morvak::blas::advise_huge_pages(data, bytes);
  return data;
}

extern "C" void morvak_arma_release(void *data) noexcept {
  if (data != nullptr)
    std::free(static_cast<void **>(data)[-1]);
}
