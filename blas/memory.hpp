#pragma once
// Memory for Armadillo's matrices (ARMA_ALIEN_MEM_ALLOC_FUNCTION), and the
// huge-page advice it gives to large blocks.
#include <cstddef>

namespace morvak::blas {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes)
// with huge pages when they are first touched, as numpy does for its large
// arrays. A fresh 256 MB block then costs 128 page faults instead of 65536,
// which is most of the time of filling it (more so inside a virtual machine).
// Blocks under 4 MiB, and systems without the advice, are left as they are.
void advise_huge_pages(void *data, std::size_t bytes) noexcept;

// While one is alive, the blocks Armadillo allocates on this thread get no
// huge-page advice. For temporaries and LAPACK workspaces that live for one
// call: numpy gives its own none, and fresh huge pages can cost more to fault
// in than they save (a virtual machine may hand them back to its host once
// freed, so every call meets them fresh again).
class TransientBlocks {
public:
  TransientBlocks() noexcept;
  ~TransientBlocks();
  TransientBlocks(const TransientBlocks &) = delete;
  TransientBlocks &operator=(const TransientBlocks &) = delete;

private:
  bool outer_;
};

} // namespace morvak::blas

// Armadillo's allocation and release: blocks aligned to 32 bytes (Armadillo
// asks for 32 from 1 KiB, else 16), with huge-page advice from 4 MiB. nullptr
// when out of memory, which Armadillo reports as before.
extern "C" void *morvak_arma_allocate(std::size_t bytes) noexcept;
extern "C" void morvak_arma_release(void *data) noexcept;
