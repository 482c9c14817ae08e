#include "formats/frame_scan.hpp"

#include "crystal/free_form.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>

namespace morvak::formats {

namespace {

// Large enough for any line that next_line returns.
constexpr std::size_t block_size = std::size_t{4} << 20;
static_assert(block_size > TextFile::max_line_length);

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string frame_words(std::size_t frame) { return "frame " + std::to_string(frame + 1); }

// Line feeds in [p, end), counted in byte-wide lanes that the compiler
// vectorises; no lane counts more than 255 per round.
std::size_t count_newlines(const char *p, const char *end) {
  constexpr std::size_t lanes = 64;
  std::size_t total = 0;
  while (p != end) {
    const auto round = std::min<std::size_t>(static_cast<std::size_t>(end - p), 255 * lanes);
    std::array<unsigned char, lanes> counts{};
    std::size_t i = 0;
    for (; i + lanes <= round; i += lanes)
      for (std::size_t lane = 0; lane < lanes; ++lane)
        counts[lane] += p[i + lane] == '\n';
    for (; i < round; ++i)
      total += p[i] == '\n';
    for (const unsigned char count : counts)
      total += count;
    p += round;
  }
  return total;
}

} // namespace

std::string_view trim_blanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin]))
    ++begin;
  while (end > begin && is_blank(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

bool LineCursor::load() {
  const std::uint64_t start = offset();
  if (start >= file_.size())
    return false;
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(block_size, file_.size() - start));
  block_ = file_.bytes(start, length, scratch_);
  block_offset_ = start;
  pos_ = 0;
  return true;
}

bool LineCursor::next_line(std::string_view &line) {
  if (pos_ == block_.size() && !load())
    return false;
  const char *begin = block_.data() + pos_;
  const std::size_t left = block_.size() - pos_;
  auto *newline = static_cast<const char *>(std::memchr(begin, '\n', left));
  if (newline == nullptr && block_offset_ + block_.size() < file_.size()) {
    // The line runs past the block: start a block at the line.
    load();
    begin = block_.data();
    newline = static_cast<const char *>(std::memchr(begin, '\n', block_.size()));
    if (newline == nullptr && block_offset_ + block_.size() < file_.size())
      file_.fail(line_number_ + 1, "expected a line of at most " +
                                       std::to_string(TextFile::max_line_length) +
                                       " bytes, found a longer line");
  }
  const std::size_t length =
      newline == nullptr ? block_.size() - pos_ : static_cast<std::size_t>(newline - begin);
  if (length > TextFile::max_line_length)
    file_.fail(line_number_ + 1, "expected a line of at most " +
                                     std::to_string(TextFile::max_line_length) +
                                     " bytes, found a longer line");
  line = std::string_view(begin, length);
  pos_ += length + (newline == nullptr ? 0 : 1);
  ++line_number_;
  return true;
}

std::size_t LineCursor::skip_lines(std::size_t count) {
  std::size_t skipped = 0;
  while (skipped < count) {
    if (pos_ == block_.size() && !load())
      break;
    const char *begin = block_.data() + pos_;
    const char *const end = block_.data() + block_.size();
    const std::size_t newlines = count_newlines(begin, end);
    if (newlines >= count - skipped) {
      for (; skipped < count; ++skipped) {
        begin = static_cast<const char *>(std::memchr(begin, '\n', end - begin)) + 1;
        ++line_number_;
      }
      pos_ = static_cast<std::size_t>(begin - block_.data());
      break;
    }
    skipped += newlines;
    line_number_ += static_cast<long>(newlines);
    const bool at_end = block_offset_ + block_.size() == file_.size();
    // A last line without a line end is a line too.
    const bool unended = block_.size() > 0 && block_.back() != '\n' && pos_ < block_.size();
    pos_ = block_.size();
    if (at_end && unended) {
      ++skipped;
      ++line_number_;
    }
  }
  return skipped;
}

std::vector<FrameExtent> scan_frames(const TextFile &file) {
  std::vector<FrameExtent> frames;
  LineCursor cursor(file);
  std::string_view line;
  while (cursor.next_line(line)) {
    const std::string_view text = trim_blanks(line);
    const long count_line = cursor.line_number();
    if (text.empty()) {
      // Blank lines may end the file, but must not stand before a frame.
      while (cursor.next_line(line))
        if (!trim_blanks(line).empty())
          file.fail(count_line, "expected the atom count of " + frame_words(frames.size()) +
                                    ", found an empty line");
      break;
    }
    const auto count = crystal::parse_integer(text);
    if (!count || *count < 0 || text[0] == '+' || text[0] == '-')
      file.fail(count_line, "expected the atom count of " + frame_words(frames.size()) +
                                " (an integer from 0 to " +
                                std::to_string(std::numeric_limits<std::int32_t>::max()) +
                                "), found " + crystal::quote_for_message(text));
    FrameExtent frame;
    frame.natom = static_cast<std::size_t>(*count);
    frame.begin = cursor.offset();
    if (!cursor.next_line(line))
      file.fail(count_line + 1, "expected the comment line of " + frame_words(frames.size()) +
                                    ", found the end of the file");
    frame.comment_line = cursor.line_number();
    frame.atoms_begin = cursor.offset();
    std::size_t atoms = 0;
    for (std::size_t step = 0; atoms == step * atoms_per_part && atoms < frame.natom; ++step) {
      if (step > 0)
        frame.part_offsets.push_back(cursor.offset());
      atoms += cursor.skip_lines(std::min(atoms_per_part, frame.natom - atoms));
    }
    if (atoms < frame.natom)
      file.fail(cursor.line_number() + 1, "expected " + std::to_string(frame.natom) +
                                              " atom lines in " + frame_words(frames.size()) +
                                              ", found the end of the file after " +
                                              std::to_string(atoms));
    frame.end = cursor.offset();
    frames.push_back(frame);
  }
  return frames;
}

} // namespace morvak::formats
