#include <armadillo>
#include <omp.h>
#include <pthread.h>

// Armadillo declares this engine extern when ARMA_USE_EXTERN_RNG is set; its
// run-time wrapper library normally defines it, but the toolkit does not link
// that library. One engine per thread, default-seeded, as Armadillo's own.
namespace arma {
thread_local std::mt19937_64 mt19937_64_instance;
} // namespace arma

namespace {
// GNU OpenMP's worker threads do not survive fork(): once the parent has run a
// parallel region, the child's next one waits for them forever. Armadillo's
// normal fills of large objects open such regions, so a forked child (Python's
// multiprocessing, for one) fills on its calling thread.
void openmp_serial_in_child() { omp_set_num_threads(1); }

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, openmp_serial_in_child);
} // namespace
