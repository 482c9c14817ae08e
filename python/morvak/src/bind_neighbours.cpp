// morvak._native.neighbours: the cell-list search of models/ into numpy arrays.
#include "python/morvak/src/bindings.hpp"

#include "models/neighbours.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>

namespace py = pybind11;

namespace morvak_py {

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Searches without the interpreter lock (8 bytes kept per pair), allocates the
// arrays at their final size, then fills them without the lock.
py::tuple neighbours(const Doubles &cell, const Doubles &positions, double cutoff,
                     const std::array<bool, 3> &pbc, double r_min, int threads) {
  if (cell.ndim() != 2 || cell.shape(0) != 3 || cell.shape(1) != 3)
    throw py::value_error("cell must have shape (3, 3)");
  if (positions.ndim() != 2 || positions.shape(1) != 3)
    throw py::value_error("positions must have shape (n, 3)");
  morvak::models::Cell c{};
  std::copy(cell.data(), cell.data() + 9, c.begin());
  const std::span<const double> xyz(positions.data(),
                                    static_cast<std::size_t>(positions.shape(0)) * 3);
  std::optional<morvak::models::NeighbourSearch> search;
  std::size_t n = 0;
  {
    py::gil_scoped_release unlocked;
    search.emplace(c, xyz, cutoff, pbc, r_min, threads);
    n = search->count();
  }
  const auto rows = static_cast<py::ssize_t>(n);
  py::array_t<std::int64_t> i(rows), j(rows), shift({rows, py::ssize_t{3}});
  py::array_t<double> vector({rows, py::ssize_t{3}}), distance(rows);
  const morvak::models::NeighbourOutput out{i.mutable_data(), j.mutable_data(),
                                            shift.mutable_data(), vector.mutable_data(),
                                            distance.mutable_data()};
  {
    py::gil_scoped_release unlocked;
    search->fill(out);
    search.reset();
  }
  return py::make_tuple(i, j, shift, vector, distance);
}

} // namespace

void bind_neighbours(py::module_ &m) {
  m.def("neighbours", &neighbours, py::arg("cell"), py::arg("positions"), py::arg("cutoff"),
        py::arg("pbc"), py::arg("r_min") = 0.0, py::arg("threads") = 2,
        "Pairs (i, j, shift, vector, distance) within cutoff, as five new arrays.");
}

} // namespace morvak_py
