#include "blas/integer.hpp"
#include "blas/route.hpp"

#include <armadillo>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

extern "C" int openblas_get_num_threads(void);

// Direct LAPACK calls (models/) and Armadillo's must agree on the integer width.
static_assert(std::is_same_v<arma::blas_int, morvak::blas::integer>);

namespace fs = std::filesystem;
using morvak::blas::library;
using morvak::blas::numpy_openblas;
using morvak::blas::route_to;

namespace {

// A folder of its own per process, removed at the end of the test.
struct Scratch {
  fs::path dir;
  explicit Scratch(const std::string &name)
      : dir(fs::temp_directory_path() /
            ("morvak_blas_route_" + name + "_" + std::to_string(getpid()))) {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// Sets the thread count of one loaded instance, bypassing the table, and
// returns what that instance then reports.
int set_threads(const fs::path &file, int n) {
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr)
    return -1;
  auto set = reinterpret_cast<void (*)(int)>(dlsym(handle, "scipy_openblas_set_num_threads64_"));
  auto get = reinterpret_cast<int (*)()>(dlsym(handle, "scipy_openblas_get_num_threads64_"));
  set(n);
  const int now = get();
  dlclose(handle);
  return now;
}

void touch(const fs::path &file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "";
}

} // namespace

TEST(BlasRoute, RefusesWhatIsNotTheSameOpenBlas) {
  const std::string before = library();
  EXPECT_TRUE(fs::equivalent(before, MORVAK_TEST_OPENBLAS));
  for (const std::string candidate : {"", "/nonexistent/libscipy_openblas64_.so", "libm.so.6"})
    EXPECT_FALSE(route_to(candidate)) << candidate;
  EXPECT_EQ(library(), before);
}

// A second copy of the library is a second instance; once routed there, the
// same decompositions give the same numbers bit for bit.
TEST(BlasRoute, RoutesEveryCallToAnotherCopy) {
  arma::arma_rng::set_seed(3);
  arma::mat a(120, 120, arma::fill::randn);
  arma::mat sym = a + a.t();
  arma::cx_mat c(80, 80, arma::fill::randn);
  const arma::mat product = a * a;
  const arma::vec values = arma::eig_sym(sym);
  const arma::cx_vec general = arma::eig_gen(c);
  const arma::mat inverse = arma::inv(a);

  const Scratch scratch("copy");
  // Still mapped after the folder goes: the routed calls keep working.
  const fs::path copy = scratch.dir / "libcopy_openblas.so";
  fs::copy_file(MORVAK_TEST_OPENBLAS, copy);
  ASSERT_TRUE(route_to(copy.string()));
  EXPECT_TRUE(fs::equivalent(library(), copy));
  // Calls reach the copy's state, not the first instance's (where the
  // machine allows two threads, so that the two can differ).
  for (int n : {1, 2}) {
    const int first = set_threads(MORVAK_TEST_OPENBLAS, 3 - n), in_copy = set_threads(copy, n);
    ASSERT_GT(first, 0);
    EXPECT_EQ(openblas_get_num_threads(), in_copy);
    if (first != in_copy) {
      EXPECT_NE(openblas_get_num_threads(), first);
    }
  }
  EXPECT_EQ(arma::accu(a * a != product), 0u);
  EXPECT_EQ(arma::accu(arma::eig_sym(sym) != values), 0u);
  EXPECT_EQ(arma::accu(arma::eig_gen(c) != general), 0u);
  EXPECT_EQ(arma::accu(arma::inv(a) != inverse), 0u);
}

TEST(BlasRoute, FindsTheLibraryOfTheFirstNumpyOnThePath) {
  const Scratch scratch("path");
  const fs::path &root = scratch.dir;
  const fs::path plain = root / "plain", wheel = root / "wheel", other = root / "other";
  fs::create_directories(plain);
  touch(wheel / "numpy" / "__init__.py");
  touch(wheel / "numpy.libs" / "libscipy_openblas64_-b2.so");
  touch(wheel / "numpy.libs" / "libscipy_openblas64_-a1.so");
  touch(wheel / "numpy.libs" / "libgfortran-040039e1.so.5.0.0");
  touch(other / "numpy" / "__init__.py");
  touch(other / "numpy.libs" / "libopenblas64_p-r0-2f7c42d4.3.23.dev.so");

  const std::string expected = (wheel / "numpy.libs" / "libscipy_openblas64_-a1.so").string();
  const struct {
    std::vector<std::string> path;
    std::string found;
  } cases[] = {
      {{plain.string(), wheel.string(), other.string()}, expected},
      // The first numpy wins even when it carries no such library (numpy 1.x).
      {{other.string(), wheel.string()}, ""},
      {{plain.string(), (root / "missing").string()}, ""},
      {{}, ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(numpy_openblas(c.path), c.found);
}
