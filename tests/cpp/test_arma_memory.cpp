#include <armadillo>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read(const char *file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The "THPeligible" line of the mapping that holds `address`, or "".
std::string huge_page_eligibility(const void *address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t low = 0, high = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> low >> dash >> high && dash == '-')
      inside = low <= at && at < high;
    else if (inside && line.rfind("THPeligible:", 0) == 0)
      return line;
  }
  return "";
}

} // namespace

// Matrices from 4 MiB on ask for huge pages, as numpy's arrays do; smaller
// ones are left alone. Either way blocks are aligned to 32 bytes.
// Inside a TransientBlocks scope they are not, and nested scopes restore the
// state they found.
TEST(ArmaMemory, LargeMatricesAreAdvisedHugePagesOutsideTransientScopes) {
  const std::string mode = read("/sys/kernel/mm/transparent_hugepage/enabled");
  if (mode.find("[madvise]") == std::string::npos)
    GTEST_SKIP() << "huge pages are not given on advice here: " << mode;
  arma::cx_mat large(1024, 512);
  arma::mat small(16, 16);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.memptr()) % 32, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.memptr()) % 32, 0u);
  auto advised = [](const arma::cx_mat &m) {
    const std::string line = huge_page_eligibility(m.memptr() + m.n_elem / 2);
    return line.empty() ? -1 : static_cast<int>(line.find('1') != std::string::npos);
  };
  if (advised(large) < 0)
    GTEST_SKIP() << "this kernel does not report huge-page eligibility";
  EXPECT_EQ(advised(large), 1);
  arma::cx_mat outer, inner, after;
  {
    const morvak::blas::TransientBlocks transient;
    outer.set_size(1024, 512);
    {
      const morvak::blas::TransientBlocks nested;
    }
    inner.set_size(1024, 512);
  }
  after.set_size(1024, 512);
  EXPECT_EQ(advised(outer), 0);
  EXPECT_EQ(advised(inner), 0);
  EXPECT_EQ(advised(after), 1);
}
