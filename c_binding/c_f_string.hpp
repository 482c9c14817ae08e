#pragma once

#include "crystal/fixed_text.hpp"

#include <cstddef>
#include <span>

namespace morvak::c_binding {

// The character that ends a C string.
inline constexpr char nul = '\0';

// Fills `f_string` with the bytes of the NUL-terminated `c_string`, from the
// first byte until a NUL or until every position of `f_string` is filled, and
// blanks the positions after the last byte copied. Bytes beyond the length of
// `f_string` are dropped. A null pointer gives all blanks.
void c_f_string_ptr(const char *c_string, std::span<char> f_string);

// The same conversion for a character array. The copy also stops at the end
// of the array, so an array without a NUL is never read past its end.
void c_f_string_chars(std::span<const char> c_string, std::span<char> f_string);

template <std::size_t N>
void c_f_string_ptr(const char *c_string, crystal::FixedText<N> &f_string) {
  c_f_string_ptr(c_string, std::span<char>(f_string.data(), N));
}

template <std::size_t N>
void c_f_string_chars(std::span<const char> c_string, crystal::FixedText<N> &f_string) {
  c_f_string_chars(c_string, std::span<char>(f_string.data(), N));
}

} // namespace morvak::c_binding
