#pragma once

#include <cstddef>
#include <string_view>

namespace pelmar {

// The major.minor release at the start of a version text such as
// Py_GetVersion()'s "3.12.1 (main, ...)": "3.12". Stops at the first
// character that can't continue it, so "3.11+" and "3.11rc1" give "3.11".
constexpr std::string_view release_of(std::string_view version) {
  std::size_t end = 0;
  bool seen_dot = false;
  while (end < version.size()) {
    const char c = version[end];
    if (c == '.' && !seen_dot && end > 0)
      seen_dot = true;
    else if (c < '0' || c > '9')
      break;
    ++end;
  }
  return version.substr(0, end);
}

// True when the running interpreter's version text names the release the
// module was built for. The whole minor number counts: 3.1x releases differ in
// their ABI, so "3.12.0" does not match "3.11" although both begin with "3.1".
constexpr bool same_release(std::string_view runtime_version, std::string_view built_for) {
  const std::string_view runtime = release_of(runtime_version);
  return !runtime.empty() && runtime == release_of(built_for);
}

} // namespace pelmar
