#pragma once

#include <string_view>

namespace haldo {

// True when the interpreter's version text (as Py_GetVersion() returns it)
// names the major.minor release `built_for`, e.g. "3.11": the text must begin
// with it and must not go on with a digit, so "3.11.7" matches while "3.1",
// "3.110" and "3.12.0" do not.
constexpr bool version_matches(std::string_view runtime, std::string_view built_for) {
  if (runtime.substr(0, built_for.size()) != built_for)
    return false;
  if (runtime.size() == built_for.size())
    return true;
  const char next = runtime[built_for.size()];
  return next < '0' || next > '9';
}

} // namespace haldo
