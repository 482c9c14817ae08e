#include "c_binding/c_f_string.hpp"

#include <algorithm>

namespace morvak::c_binding {

void c_f_string_ptr(const char *c_string, std::span<char> f_string) {
  std::size_t copied = 0;
  if (c_string != nullptr) {
    for (; copied < f_string.size() && c_string[copied] != nul; ++copied)
      f_string[copied] = c_string[copied];
  }
  std::fill(f_string.begin() + copied, f_string.end(), ' ');
}

void c_f_string_chars(std::span<const char> c_string, std::span<char> f_string) {
  const std::size_t limit = std::min(c_string.size(), f_string.size());
  std::size_t copied = 0;
  for (; copied < limit && c_string[copied] != nul; ++copied)
    f_string[copied] = c_string[copied];
  std::fill(f_string.begin() + copied, f_string.end(), ' ');
}

} // namespace morvak::c_binding
