// The C-string conversions against a direct statement of their result: the
// bytes up to the first NUL, cut to the target's length, then blanks. The
// first input byte sets the target length; the rest is the C text, held in a
// buffer of exactly its size so that any read past it is reported.
#include "c_binding/c_f_string.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

std::string expected(const char *text, std::size_t size, std::size_t length) {
  const std::size_t used = std::min({size, length, std::strlen(text)});
  std::string result(text, used);
  result.resize(length, ' ');
  return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::size_t length = data[0];
  const std::vector<char> chars(data + 1, data + size);
  // A terminated copy for strlen and for the pointer form.
  const std::string terminated(chars.begin(), chars.end());

  std::vector<char> target(length, 'x');
  morvak::c_binding::c_f_string_chars(std::span<const char>(chars), std::span<char>(target));
  if (std::string(target.begin(), target.end()) !=
      expected(terminated.c_str(), chars.size(), length))
    std::abort();

  std::fill(target.begin(), target.end(), 'x');
  morvak::c_binding::c_f_string_ptr(terminated.c_str(), std::span<char>(target));
  if (std::string(target.begin(), target.end()) !=
      expected(terminated.c_str(), terminated.size(), length))
    std::abort();

  morvak::crystal::FixedText<2> symbol("zz");
  morvak::c_binding::c_f_string_chars(std::span<const char>(chars), symbol);
  if (std::string(symbol.view()) != expected(terminated.c_str(), chars.size(), 2))
    std::abort();
  return 0;
}
