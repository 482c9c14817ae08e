#include <armadillo>

// Armadillo declares this engine extern when ARMA_USE_EXTERN_RNG is set; its
// run-time wrapper library normally defines it, but the toolkit does not link
// that library. One engine per thread, default-seeded, as Armadillo's own.
namespace arma {
thread_local std::mt19937_64 mt19937_64_instance;
} // namespace arma
