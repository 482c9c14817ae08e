#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace morvak::crystal {

// Text of exactly N characters, padded on the right with blanks. Comparison
// treats the shorter of two texts as if it were extended with blanks.
template <std::size_t N> class FixedText {
public:
  FixedText() { chars_.fill(' '); }
  FixedText(std::string_view text) {
    chars_.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), N), chars_.begin());
  }

  static constexpr std::size_t size() { return N; }
  char &operator[](std::size_t i) { return chars_[i]; }
  char operator[](std::size_t i) const { return chars_[i]; }
  char *data() { return chars_.data(); }
  const char *data() const { return chars_.data(); }

  // All N characters, padding included.
  std::string_view view() const { return {chars_.data(), N}; }
  // The text without its trailing blanks.
  std::string_view trimmed() const {
    const auto v = view();
    const auto end = v.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : v.substr(0, end + 1);
  }

  friend bool operator==(const FixedText &a, const FixedText &b) { return a.chars_ == b.chars_; }

private:
  std::array<char, N> chars_;
};

// Compares as fixed-length texts: the shorter is padded with blanks.
inline bool blank_padded_equal(std::string_view a, std::string_view b) {
  const auto n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char ca = i < a.size() ? a[i] : ' ';
    const char cb = i < b.size() ? b[i] : ' ';
    if (ca != cb)
      return false;
  }
  return true;
}

} // namespace morvak::crystal
