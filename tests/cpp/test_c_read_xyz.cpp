#include "c_binding/pelmar_c_binding.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char *silicon = "2\n"
                                "cell: 5.43 0 0\n"
                                "| 0 5.43 0\n"
                                "| 0 0 5.43\n"
                                "14 0 0 0\n"
                                "14 1.3575 1.3575 1.3575\n";

class CReadXyz : public testing::Test {
protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("c_read_xyz_" + std::to_string(getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string &name, const std::string &text) const {
    const fs::path path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  fs::path dir_;
};

TEST_F(CReadXyz, WellFormedFileSucceedsWithEmptyMessage) {
  const std::string path = write("si.xyz", silicon);
  EXPECT_EQ(c_read_xyz(path.c_str()), 0);
  EXPECT_STREQ(c_read_xyz_error(), "");
  EXPECT_EQ(c_read_xyz(path.c_str()), 0);
}

TEST_F(CReadXyz, FileFailuresReturnErrno) {
  const std::string missing = (dir_ / "missing.xyz").string();
  EXPECT_EQ(c_read_xyz(missing.c_str()), ENOENT);
  EXPECT_NE(std::string(c_read_xyz_error()).find("missing.xyz"), std::string::npos)
      << c_read_xyz_error();

  EXPECT_EQ(c_read_xyz(dir_.c_str()), EISDIR);
  EXPECT_STRNE(c_read_xyz_error(), "");

  const std::string not_a_dir = write("plain", silicon) + "/x.xyz";
  EXPECT_EQ(c_read_xyz(not_a_dir.c_str()), ENOTDIR);
}

TEST_F(CReadXyz, NullPointerAndEmptyPathNameNoFile) {
  EXPECT_EQ(c_read_xyz(nullptr), ENOENT);
  EXPECT_STRNE(c_read_xyz_error(), "");
  EXPECT_EQ(c_read_xyz(""), ENOENT);
  EXPECT_EQ(c_read_xyz("   "), ENOENT);
}

TEST_F(CReadXyz, MalformedContentReturnsMinusOneWithFileAndLine) {
  const std::string path = write("bad.xyz", "1\ncell: 1 0 0\n| 0 abc 0\n| 0 0 1\n14 0 0 0\n");
  EXPECT_EQ(c_read_xyz(path.c_str()), -1);
  const std::string message = c_read_xyz_error();
  EXPECT_NE(message.find("bad.xyz:3:"), std::string::npos) << message;
  EXPECT_NE(message.find("abc"), std::string::npos) << message;

  // A success afterwards clears the message.
  const std::string good = write("si.xyz", silicon);
  EXPECT_EQ(c_read_xyz(good.c_str()), 0);
  EXPECT_STREQ(c_read_xyz_error(), "");
}

TEST_F(CReadXyz, TrailingBlanksAreNotPartOfTheName) {
  const std::string path = write("si.xyz", silicon);
  EXPECT_EQ(c_read_xyz((path + "   ").c_str()), 0);
}

TEST_F(CReadXyz, LongPathIsUsedWhole) {
  // A valid file at the 128-byte prefix and a malformed one at the full path:
  // only reading the full path gives -1.
  const std::string prefix = (dir_ / "").string();
  const std::string full = prefix + std::string(200 - prefix.size(), 'a');
  ASSERT_EQ(full.size(), 200u);
  write(full.substr(prefix.size(), 128 - prefix.size()), silicon);
  write(full.substr(prefix.size()), "not a count\n");
  EXPECT_EQ(c_read_xyz(full.c_str()), -1);
  EXPECT_EQ(c_read_xyz(full.substr(0, 128).c_str()), 0);
}

TEST_F(CReadXyz, MessageBelongsToTheCallingThread) {
  const std::string bad = write("bad.xyz", "x\n");
  const std::string good = write("si.xyz", silicon);
  ASSERT_EQ(c_read_xyz(bad.c_str()), -1);
  const std::string mine = c_read_xyz_error();
  int other_status = -2;
  std::string other_message = "unset";
  std::thread([&] {
    other_status = c_read_xyz(good.c_str());
    other_message = c_read_xyz_error();
  }).join();
  EXPECT_EQ(other_status, 0);
  EXPECT_EQ(other_message, "");
  EXPECT_EQ(c_read_xyz_error(), mine);
}

} // namespace
