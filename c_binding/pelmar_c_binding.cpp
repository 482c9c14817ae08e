#include "c_binding/pelmar_c_binding.h"

#include "c_binding/c_f_string.hpp"
#include "c_binding/read_status.hpp"
#include "crystal/crystal.hpp"
#include "crystal/errors.hpp"
#include "crystal/xyz.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace {

// Length of the blank-padded file name handed to the reader. Longer paths get
// a longer name: cutting them would silently name a different file.
constexpr std::size_t min_name_length = 128;

thread_local std::string last_error;
// Used when even the message could not be stored for lack of memory.
thread_local const char *last_error_fallback = nullptr;

void record_error(const char *message) noexcept {
  last_error_fallback = nullptr;
  try {
    last_error.assign(message);
  } catch (...) {
    last_error.clear();
    last_error_fallback = "out of memory";
  }
}

std::string padded_file_name(const char *path) {
  const std::size_t length = path == nullptr ? 0 : std::strlen(path);
  std::string name(std::max(length, min_name_length), ' ');
  morvak::c_binding::c_f_string_ptr(path, std::span<char>(name));
  return name;
}

} // namespace

int morvak::c_binding::read_xyz_status(const char *xyz_file_in_c,
                                       const crystal::StopRequest &stop) {
  // No exception may cross into C: every failure becomes a status and a message.
  try {
    const std::string name = padded_file_name(xyz_file_in_c);
    morvak::crystal::Crystal cryst;
    morvak::crystal::read_xyz(cryst, name, stop);
    cryst.release();
    record_error("");
    return 0;
  } catch (const morvak::crystal::Interrupted &e) {
    record_error(e.what());
    return EINTR;
  } catch (const morvak::crystal::FileError &e) {
    record_error(e.what());
    return e.error_number() > 0 ? e.error_number() : EIO;
  } catch (const std::bad_alloc &e) {
    record_error(e.what());
    return ENOMEM;
  } catch (const std::exception &e) {
    record_error(e.what());
    return -1;
  } catch (...) {
    record_error("unknown error while reading the XYZ file");
    return -1;
  }
}

extern "C" int c_read_xyz(const char *xyz_file_in_c) {
  return morvak::c_binding::read_xyz_status(xyz_file_in_c, {});
}

extern "C" const char *c_read_xyz_error(void) {
  return last_error_fallback != nullptr ? last_error_fallback : last_error.c_str();
}
