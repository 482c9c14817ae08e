#include "blas/route.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <system_error>

#define MORVAK_HIDDEN __attribute__((visibility("hidden")))
extern "C" {
// Defined by the generated table source: one entry per routine, in the order
// of the symbol names.
MORVAK_HIDDEN extern void *morvak_blas_table[];
MORVAK_HIDDEN extern const char *const morvak_blas_symbols[];
MORVAK_HIDDEN extern const std::size_t morvak_blas_count;
}

namespace morvak::blas {

namespace fs = std::filesystem;

bool route_to(const std::string &library) {
#ifndef MORVAK_BLAS_ROUTED
  (void)library;
  return false;
#else
  if (library.empty())
    return false;
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  // Never closed: calls may go there for the rest of the process's life.
  void *handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr)
    return false;
  std::vector<void *> found(morvak_blas_count);
  for (std::size_t i = 0; i < morvak_blas_count; ++i) {
    found[i] = dlsym(handle, morvak_blas_symbols[i]);
    if (found[i] == nullptr) {
      dlclose(handle);
      return false;
    }
  }
  // A call already under way finishes in the library it started in; each
  // routine is complete in itself, so the two never mix within one call.
  for (std::size_t i = 0; i < morvak_blas_count; ++i)
    __atomic_store_n(&morvak_blas_table[i], found[i], __ATOMIC_RELEASE);
  return true;
#endif
}

std::string numpy_openblas(const std::vector<std::string> &search_path) {
  std::error_code error;
  for (const std::string &entry : search_path) {
    const fs::path root = entry.empty() ? fs::path(".") : fs::path(entry);
    if (!fs::is_regular_file(root / "numpy" / "__init__.py", error))
      continue;
    // The first numpy on the path is the one an import finds; its wheel keeps
    // the library, under a hashed name, in numpy.libs beside it.
    std::vector<fs::path> candidates;
    for (const auto &file : fs::directory_iterator(root / "numpy.libs", error)) {
      const std::string name = file.path().filename().string();
      if (name.starts_with("libscipy_openblas64_") && name.ends_with(".so"))
        candidates.push_back(fs::absolute(file.path(), error));
    }
    if (candidates.empty())
      return "";
    return std::ranges::min(candidates).string();
  }
  return "";
}

std::string library() {
  Dl_info info{};
  if (dladdr(__atomic_load_n(&morvak_blas_table[0], __ATOMIC_ACQUIRE), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  return info.dli_fname;
}

} // namespace morvak::blas

// For checks from outside (ctypes): the file this module's calls go to.
extern "C" __attribute__((visibility("default"))) const char *morvak_blas_library() {
  static thread_local std::string name;
  name = morvak::blas::library();
  return name.c_str();
}
