#include "formats/structure_files.hpp"
#include "temp_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

using namespace morvak::formats;

namespace {

// Doubles of every kind: random bit patterns of finite values and the edges.
std::vector<double> awkward_doubles(std::size_t count, unsigned seed) {
  std::vector<double> values = {0.0,
                                -0.0,
                                0.1,
                                1e17,
                                -1e-300,
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::min(),
                                123456789.12345679};
  std::mt19937_64 random(seed);
  while (values.size() < count) {
    const auto value = std::bit_cast<double>(random());
    if (std::isfinite(value))
      values.push_back(values.size() % 2 ? value : std::ldexp(value, -std::ilogb(value)));
  }
  return values;
}

Frame random_frame(std::size_t natom, unsigned seed) {
  const auto values = awkward_doubles(3 * natom + 9, seed);
  Frame frame;
  std::memcpy(frame.cell.data(), values.data(), sizeof frame.cell);
  frame.pbc = {seed % 2 == 0, true, false};
  frame.positions.resize(natom);
  if (natom > 0)
    std::memcpy(frame.positions.data(), values.data() + 9, natom * sizeof(Vec3));
  for (std::size_t atom = 0; atom < natom; ++atom)
    frame.numbers.push_back(static_cast<std::uint8_t>(1 + (atom * 7 + seed) % 118));
  return frame;
}

FrameView view_of(const Frame &frame) {
  return {frame.cell, frame.pbc, frame.numbers.data(), frame.positions.data(),
          frame.numbers.size()};
}

bool same_bits(const Vec3 &a, const Vec3 &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Frames of 0, 3 and 70000 atoms (the last parsed in two parts) come
// back bit for bit; plain XYZ keeps symbols and positions only.
class RoundTrip : public testing::TestWithParam<Format> {};

TEST_P(RoundTrip, ReadsBackWhatItWrote) {
  const TempDir dir;
  const std::vector<Frame> frames = {random_frame(0, 1), random_frame(3, 2),
                                     random_frame(70000, 3)};
  std::vector<FrameView> views;
  for (const Frame &frame : frames)
    views.push_back(view_of(frame));
  const std::string path = dir.path("frames.xyz");
  write_frames(path, GetParam(), views);
  EXPECT_EQ(detect_format(path), GetParam());

  const auto back = read_frames(path, GetParam(), {true, 0});
  ASSERT_EQ(back.size(), frames.size());
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const bool extended = GetParam() == Format::extxyz;
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_TRUE(same_bits(back[k].cell[i], extended ? frames[k].cell[i] : Vec3{}));
    EXPECT_EQ(back[k].pbc, (extended ? frames[k].pbc : std::array<bool, 3>{}));
    EXPECT_EQ(back[k].numbers, frames[k].numbers);
    ASSERT_EQ(back[k].positions.size(), frames[k].positions.size());
    for (std::size_t atom = 0; atom < frames[k].positions.size(); ++atom)
      ASSERT_TRUE(same_bits(back[k].positions[atom], frames[k].positions[atom])) << atom;
  }
  const auto last = read_frames(path, GetParam(), {false, -2});
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].numbers, frames[1].numbers);
  EXPECT_THROW(read_frames(path, GetParam(), {false, 3}), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip, testing::Values(Format::extxyz, Format::xyz));

// The parallel parse reports the first faulty line, wherever the parts split,
// and takes CRLF line ends and a last line without its line end.
TEST(ParallelParse, ReportsTheFirstFaultyLineAndTakesCrlf) {
  const TempDir dir;
  constexpr std::size_t natom = 150000; // three parts
  std::string text = std::to_string(natom) + "\r\nLattice=\"1 0 0 0 1 0 0 0 1\"\r\n";
  for (std::size_t atom = 0; atom < natom; ++atom)
    text += "Fe " + std::to_string(atom) + ".5 -1e-3 2\r\n";
  text.resize(text.size() - 2);
  const auto frames = read_frames(dir.write("crlf.extxyz", text), Format::extxyz, {false, 0});
  ASSERT_EQ(frames.at(0).positions.size(), natom);
  EXPECT_EQ(frames[0].positions[natom - 1][0], natom - 0.5);
  EXPECT_EQ(frames[0].numbers[natom - 1], 26);
  EXPECT_EQ(frames[0].pbc, (std::array<bool, 3>{true, true, true}));

  // Faults in the first part, in the last, and in both: the first is named.
  const std::vector<std::vector<std::size_t>> faults = {{17}, {natom - 17}, {70000, 17}};
  for (const auto &bad : faults) {
    std::string broken = text;
    for (const std::size_t atom : bad) {
      const std::string line = "\nFe " + std::to_string(atom) + ".5 -1e-3 2";
      broken.replace(broken.find(line), line.size(), "\nFe 1.0 x 2");
    }
    const std::string path = dir.write("broken.extxyz", broken);
    const std::size_t first = *std::min_element(bad.begin(), bad.end());
    try {
      read_frames(path, Format::extxyz, {false, 0});
      FAIL() << "no error";
    } catch (const FormatError &error) {
      EXPECT_EQ(std::string(error.what()),
                path + ":" + std::to_string(first + 3) +
                    ": expected a finite real number for a coordinate, found 'x' (atom " +
                    std::to_string(first + 1) + ")");
    }
  }
}

TEST(Sources, EndlessDeviceFailsAtItsFirstLine) {
  try {
    read_frames("/dev/zero", Format::extxyz, {true, 0});
    FAIL() << "no error";
  } catch (const FormatError &error) {
    EXPECT_NE(std::string(error.what()).find("/dev/zero:1: expected a line of at most"),
              std::string::npos);
  }
  EXPECT_THROW(read_frames("/nonexistent/file.xyz", Format::xyz, {true, 0}), FileError);
}

TEST(Writer, RefusesBadValuesAndLeavesTheOldFile) {
  const TempDir dir;
  const std::string path = dir.write("old.extxyz", "old");
  Frame frame = random_frame(2, 4);
  frame.positions[1][2] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(write_frames(path, Format::extxyz, {view_of(frame)}), std::invalid_argument);
  frame = random_frame(2, 4);
  frame.numbers[0] = 119;
  EXPECT_THROW(write_frames(path, Format::extxyz, {view_of(frame)}), std::invalid_argument);
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 1);
}

} // namespace
