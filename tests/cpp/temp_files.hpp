#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

// A fresh directory for one test, removed with everything in it afterwards.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "morvak-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  std::string path(std::string_view name) const { return (path_ / name).string(); }
  const std::filesystem::path &root() const { return path_; }

  std::string write(std::string_view name, std::string_view content) const {
    const std::string file = path(name);
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
