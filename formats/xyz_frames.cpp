#include "crystal/free_form.hpp"
#include "crystal/line_source.hpp"
#include "formats/atom_lines.hpp"
#include "formats/extxyz_header.hpp"
#include "formats/frame_scan.hpp"
#include "formats/structure_files.hpp"

#include <stdexcept>
#include <string>

namespace morvak::formats {

namespace {

// A label then real numbers: how the toolkit's own layout begins its cell.
bool looks_like_labelled_vector(std::string_view line) {
  std::size_t pos = 0;
  const auto separates = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == ','; };
  const auto next_item = [&](std::string_view &item) {
    while (pos < line.size() && separates(line[pos]))
      ++pos;
    if (pos == line.size())
      return false;
    const std::size_t start = pos;
    if (line[pos] == '\'' || line[pos] == '"') {
      const std::size_t close = line.find(line[pos], pos + 1);
      if (close == std::string_view::npos)
        return false;
      pos = close + 1;
    } else {
      while (pos < line.size() && !separates(line[pos]))
        ++pos;
    }
    item = line.substr(start, pos - start);
    return true;
  };
  std::string_view item;
  if (!next_item(item) || crystal::parse_real(item))
    return false;
  for (int k = 0; k < 3; ++k)
    if (!next_item(item) || !crystal::parse_real(item))
      return false;
  return true;
}

} // namespace

std::string_view format_name(Format format) {
  switch (format) {
  case Format::morvak:
    return "morvak";
  case Format::extxyz:
    return "extxyz";
  case Format::xyz:
    break;
  }
  return "xyz";
}

std::optional<Format> format_from_name(std::string_view name) {
  for (const Format format : {Format::morvak, Format::extxyz, Format::xyz})
    if (format_name(format) == name)
      return format;
  return std::nullopt;
}

Format detect_format(const std::string &path) {
  crystal::LineSource source(path);
  std::string_view line;
  if (!source.next_line(line) || !source.next_line(line))
    return Format::xyz;
  if (looks_like_extxyz(line))
    return Format::extxyz;
  if (looks_like_labelled_vector(line))
    return Format::morvak;
  return Format::xyz;
}

std::vector<Frame> read_frames(const std::string &path, Format format, FrameSelection selection) {
  if (format == Format::morvak)
    throw std::invalid_argument("read_frames: the toolkit's own layout is read by read_xyz");
  const TextFile file(path);
  const std::vector<FrameExtent> extents = scan_frames(file);
  std::size_t first = 0;
  std::size_t last = extents.size();
  if (!selection.all) {
    if (extents.empty())
      file.fail(1, "expected the atom count of frame 1, found the end of the file");
    const auto count = static_cast<long>(extents.size());
    const long index = selection.index < 0 ? selection.index + count : selection.index;
    if (index < 0 || index >= count)
      throw std::out_of_range("frame index " + std::to_string(selection.index) +
                              " is out of range for " + std::to_string(count) + " frame" +
                              (count == 1 ? "" : "s") + " in '" + path + "'");
    first = static_cast<std::size_t>(index);
    last = first + 1;
  }
  std::vector<Frame> frames;
  Scratch scratch;
  for (std::size_t k = first; k < last; ++k) {
    const FrameExtent &extent = extents[k];
    std::string_view comment = file.bytes(
        extent.begin, static_cast<std::size_t>(extent.atoms_begin - extent.begin), scratch);
    if (!comment.empty() && comment.back() == '\n')
      comment.remove_suffix(1);
    const FrameHeader header = format == Format::extxyz
                                   ? parse_extxyz_header(comment, file, extent.comment_line)
                                   : plain_xyz_header();
    Frame frame;
    frame.cell = header.cell;
    frame.pbc = header.pbc;
    parse_atom_lines(file, extent, header, frame);
    frames.push_back(std::move(frame));
  }
  return frames;
}

} // namespace morvak::formats
