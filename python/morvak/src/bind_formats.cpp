// Binding of the structure file readers and writers: paths arrive as bytes,
// frames leave as (cell, symbols, positions, pbc) tuples of numpy arrays,
// lists and bools, from which the Python layer makes pelmar.Crystal objects.
#include "python/morvak/src/bindings.hpp"

#include "formats/elements.hpp"
#include "formats/structure_files.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

namespace py = pybind11;

namespace morvak_py {

namespace {

using morvak::formats::Format;
using morvak::formats::Frame;
using morvak::formats::FrameView;
using morvak::formats::Vec3;

Format format_argument(const std::string &name) {
  const auto format = morvak::formats::format_from_name(name);
  if (!format)
    throw py::value_error("format: expected 'morvak', 'extxyz' or 'xyz', got '" + name + "'");
  return *format;
}

// Moves `values` into a new float64 array of shape (rows, 3) without copying.
py::array_t<double> rows_array(std::vector<Vec3> &&values) {
  auto owner = std::make_unique<std::vector<Vec3>>(std::move(values));
  const auto rows = static_cast<py::ssize_t>(owner->size());
  const double *data = owner->empty() ? nullptr : (*owner)[0].data();
  py::capsule keeper(owner.get(), [](void *p) { delete static_cast<std::vector<Vec3> *>(p); });
  owner.release();
  return py::array_t<double>({rows, py::ssize_t{3}}, data, keeper);
}

// The symbols of `numbers` as a list, each element's str made once.
py::list symbol_list(const std::vector<std::uint8_t> &numbers) {
  std::array<py::object, 256> names;
  py::list symbols(numbers.size());
  PyObject *list = symbols.ptr();
  for (std::size_t atom = 0; atom < numbers.size(); ++atom) {
    py::object &name = names[numbers[atom]];
    if (!name)
      name = py::str(std::string(morvak::formats::element_symbol(numbers[atom])));
    PyList_SET_ITEM(list, static_cast<py::ssize_t>(atom), name.inc_ref().ptr());
  }
  return symbols;
}

py::tuple frame_tuple(Frame &&frame) {
  std::vector<Vec3> cell(frame.cell.begin(), frame.cell.end());
  py::tuple pbc = py::make_tuple(frame.pbc[0], frame.pbc[1], frame.pbc[2]);
  py::list symbols = symbol_list(frame.numbers);
  frame.numbers = {};
  return py::make_tuple(rows_array(std::move(cell)), std::move(symbols),
                        rows_array(std::move(frame.positions)), std::move(pbc));
}

// Holds what a frame to write borrows from Python objects.
struct FrameArgument {
  std::vector<std::uint8_t> numbers;
  py::array_t<double, py::array::c_style | py::array::forcecast> positions;
  FrameView view;
};

FrameArgument frame_argument(const py::handle &item, std::size_t index) {
  const std::string where = "frame " + std::to_string(index + 1);
  const auto parts = item.cast<py::tuple>();
  if (parts.size() != 4)
    throw py::value_error(where + ": expected (cell, symbols, positions, pbc)");
  FrameArgument frame;
  const auto cell = parts[0].cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
  if (cell.ndim() != 2 || cell.shape(0) != 3 || cell.shape(1) != 3)
    throw py::value_error(where + ": expected a cell of shape (3, 3)");
  std::memcpy(frame.view.cell.data(), cell.data(), sizeof frame.view.cell);
  const auto symbols = py::reinterpret_borrow<py::sequence>(parts[1]);
  frame.numbers.reserve(symbols.size());
  for (const py::handle symbol : symbols) {
    const auto text = symbol.cast<std::string>();
    const std::uint8_t number = morvak::formats::element_number(text);
    if (number == 0 || !(text[0] >= 'A' && text[0] <= 'Z'))
      throw py::value_error(where + ": unknown element symbol '" + text + "'");
    frame.numbers.push_back(number);
  }
  frame.positions = parts[2].cast<decltype(frame.positions)>();
  if (frame.positions.ndim() != 2 || frame.positions.shape(1) != 3 ||
      static_cast<std::size_t>(frame.positions.shape(0)) != frame.numbers.size())
    throw py::value_error(where + ": expected positions of shape (natom, 3)");
  const auto pbc = parts[3].cast<std::array<bool, 3>>();
  frame.view.pbc = pbc;
  frame.view.numbers = frame.numbers.data();
  frame.view.positions = reinterpret_cast<const Vec3 *>(frame.positions.data());
  frame.view.natom = frame.numbers.size();
  return frame;
}

void translate_file_errors(std::exception_ptr error) {
  try {
    if (error)
      std::rethrow_exception(error);
  } catch (const morvak::crystal::FileError &failure) {
    // OSError(errno, text, filename) becomes FileNotFoundError and its kin.
    const std::string &name = failure.filename();
    py::object filename = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<py::ssize_t>(name.size())));
    const std::string reason = std::system_category().message(failure.error_number());
    py::object arguments = py::make_tuple(failure.error_number(), reason, filename);
    PyErr_SetObject(PyExc_OSError, arguments.ptr());
  } catch (const morvak::crystal::FormatError &failure) {
    PyErr_SetString(PyExc_ValueError, failure.what());
  }
}

} // namespace

void bind_formats(py::module_ &m) {
  py::register_exception_translator(translate_file_errors);

  m.def(
      "detect_format",
      [](const py::bytes &path) {
        const auto name = path.cast<std::string>();
        Format format;
        {
          py::gil_scoped_release unlocked;
          format = morvak::formats::detect_format(name);
        }
        return std::string(morvak::formats::format_name(format));
      },
      py::arg("path"), "The format of the file at path: 'morvak', 'extxyz' or 'xyz'.");

  m.def(
      "read_frames",
      [](const py::bytes &path, const std::string &format_text, const py::object &index) {
        const Format format = format_argument(format_text);
        morvak::formats::FrameSelection selection;
        selection.all = index.is_none();
        if (!selection.all)
          selection.index = index.cast<long>();
        const auto name = path.cast<std::string>();
        std::vector<Frame> frames;
        {
          py::gil_scoped_release unlocked;
          frames = morvak::formats::read_frames(name, format, selection);
        }
        py::list result;
        for (Frame &frame : frames)
          result.append(frame_tuple(std::move(frame)));
        return result;
      },
      py::arg("path"), py::arg("format"), py::arg("index"),
      "Frames of an extended or plain XYZ file as (cell, symbols, positions, pbc) tuples: all of "
      "them when index is None, else the one at index.");

  m.def(
      "write_frames",
      [](const py::bytes &path, const std::string &format_text, const py::sequence &frames) {
        const Format format = format_argument(format_text);
        const auto name = path.cast<std::string>();
        std::vector<FrameArgument> arguments;
        arguments.reserve(frames.size());
        for (std::size_t k = 0; k < frames.size(); ++k)
          arguments.push_back(frame_argument(frames[k], k));
        std::vector<FrameView> views;
        for (const FrameArgument &argument : arguments)
          views.push_back(argument.view);
        py::gil_scoped_release unlocked;
        morvak::formats::write_frames(name, format, views);
      },
      py::arg("path"), py::arg("format"), py::arg("frames"),
      "Writes (cell, symbols, positions, pbc) tuples as an extended or plain XYZ file.");
}

} // namespace morvak_py
