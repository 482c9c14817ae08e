#include "crystal/shared_records.hpp"
#include "temp_files.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace morvak::crystal;

namespace {

class OpenFile {
public:
  explicit OpenFile(const std::string &name) : fd_(::open(name.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~OpenFile() { ::close(fd_); }
  OpenFile(const OpenFile &) = delete;
  OpenFile &operator=(const OpenFile &) = delete;
  int fd() const { return fd_; }

private:
  int fd_;
};

// On one thread every segment goes straight to the output; on three, most
// wait in slots. Either way exactly the first records must be handed on, in
// order, up to the limit or to the first line that is no plain record (an
// unknown element), and the bytes must be those of their lines.
TEST(SharedRecords, HandsOnExactlyTheFirstRecords) {
  Element_map table;
  table.initialize();
  TempDir dir;
  std::mt19937_64 random(5);
  constexpr std::size_t lines = 30000;
  for (const std::size_t bad_line : {lines, std::size_t{0}, std::size_t{777}, lines - 1}) {
    std::string text;
    std::vector<std::size_t> line_end;
    for (std::size_t i = 0; i < lines; ++i) {
      // The line's index in x, blanks of random width, lines of 12 to 140 bytes.
      text += i == bad_line ? "Xx" : std::to_string(1 + i % 118);
      text.append(1 + random() % 3, ' ').append(std::to_string(i)).append(" -0.5 ");
      text.append(std::to_string(random())).append(random() % 100, ' ').append("\n");
      line_end.push_back(text.size());
    }
    const std::string name = dir.write("records.xyz", text);
    const OpenFile file(name);
    for (const unsigned threads : {1u, 3u}) {
      for (const std::size_t limit : {std::size_t{1}, std::size_t{12345}, lines - 1, lines + 5}) {
        std::vector<Symbol> names;
        std::vector<Vec3> xyz;
        RecordArrays out{names, xyz, [&](std::size_t more) {
                           names.reserve(names.size() + more);
                           xyz.reserve(xyz.size() + more);
                         }};
        const SharedRun run =
            read_shared_records(file.fd(), 0, text.size(), limit, table, threads, out, [] {});
        const std::size_t expected = std::min(limit, bad_line);
        SCOPED_TRACE("bad line " + std::to_string(bad_line) + ", " + std::to_string(threads) +
                     " threads, limit " + std::to_string(limit));
        ASSERT_EQ(run.atoms, expected);
        ASSERT_EQ(names.size(), expected);
        ASSERT_EQ(xyz.size(), expected);
        if (expected < limit) {
          EXPECT_EQ(run.bytes, expected == 0 ? 0 : line_end[expected - 1]);
        }
        for (std::size_t i = 0; i < expected; ++i)
          ASSERT_EQ(xyz[i][0], static_cast<double>(i));
      }
    }
  }
}

} // namespace
