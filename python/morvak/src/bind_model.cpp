// Tight-binding assembly and spectra: numpy arrays in, numpy arrays out; the
// work runs in models/ with the interpreter lock released.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "models/assembly.hpp"
#include "models/bands.hpp"
#include "models/hoppings.hpp"
#include "models/kpm.hpp"
#include "models/parallel.hpp"
#include "python/morvak/src/bindings.hpp"

namespace py = pybind11;
namespace mm = morvak::models;

namespace morvak_py {

namespace {

template <class T> using carray = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Hands a vector's buffer to numpy without a copy.
template <class T> py::array_t<T> to_array(std::vector<T> &&values) {
  auto *owner = new std::vector<T>(std::move(values));
  py::capsule free_owner(owner, [](void *p) { delete static_cast<std::vector<T> *>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_owner);
}

// Called by the waiting thread while workers run: lets Ctrl-C stop the work.
bool interrupted() {
  py::gil_scoped_acquire gil;
  return PyErr_CheckSignals() != 0;
}

void require(bool ok, const std::string &message) {
  if (!ok)
    throw py::value_error(message);
}

template <class T> struct TermArrays {
  carray<double> onsite;
  carray<std::int32_t> row, col;
  carray<T> value;
  carray<double> bond;

  mm::Terms<T> view() const {
    const auto m = static_cast<std::size_t>(row.size());
    require(onsite.ndim() == 1, "onsite must be 1-D");
    require(row.ndim() == 1 && col.ndim() == 1 && value.ndim() == 1 &&
                static_cast<std::size_t>(col.size()) == m &&
                static_cast<std::size_t>(value.size()) == m,
            "row, col and value must be 1-D arrays of one length");
    require(bond.ndim() == 2 && bond.shape(1) == 3 && static_cast<std::size_t>(bond.shape(0)) == m,
            "bond must have shape (terms, 3)");
    mm::Terms<T> t;
    t.sites = static_cast<std::size_t>(onsite.size());
    t.onsite = onsite.data();
    t.count = m;
    t.row = row.data();
    t.col = col.data();
    t.value = value.data();
    t.bond = bond.data();
    return t;
  }
};

template <class T> py::tuple csr_tuple(mm::Csr<T> &&csr) {
  return py::make_tuple(to_array(std::move(csr.data)), to_array(std::move(csr.indices)),
                        to_array(std::move(csr.indptr)));
}

template <class T>
py::tuple assemble(const TermArrays<T> &arrays, std::optional<carray<double>> k) {
  const auto terms = arrays.view();
  if (!k) {
    mm::Csr<T> csr;
    {
      py::gil_scoped_release release;
      csr = mm::assemble(terms);
    }
    return csr_tuple(std::move(csr));
  }
  require(k->size() == 3, "k must hold three components");
  const double kv[3] = {k->at(0), k->at(1), k->at(2)};
  mm::Csr<mm::cplx> csr;
  {
    py::gil_scoped_release release;
    csr = mm::assemble_bloch(terms, kv);
  }
  return csr_tuple(std::move(csr));
}

template <class T>
py::array_t<double> band_energies(const TermArrays<T> &arrays, const carray<double> &kpoints,
                                  unsigned threads) {
  const auto terms = arrays.view();
  require(kpoints.ndim() == 2 && kpoints.shape(1) == 3, "kpoints must have shape (nk, 3)");
  const auto nk = static_cast<std::size_t>(kpoints.shape(0));
  py::array_t<double> energies(
      {static_cast<py::ssize_t>(nk), static_cast<py::ssize_t>(terms.sites)});
  bool finished;
  {
    py::gil_scoped_release release;
    finished =
        mm::band_energies(terms, kpoints.data(), nk, energies.mutable_data(), interrupted, threads);
  }
  if (!finished)
    throw py::error_already_set();
  return energies;
}

template <class T> struct CsrArrays {
  carray<T> data;
  carray<std::int32_t> indices;
  carray<std::int64_t> indptr;

  mm::CsrView<T> view() const {
    require(indptr.ndim() == 1 && indptr.size() >= 1, "indptr must be a 1-D array");
    const auto n = static_cast<std::size_t>(indptr.size() - 1);
    require(data.ndim() == 1 && indices.ndim() == 1 && data.size() == indices.size(),
            "data and indices must be 1-D arrays of one length");
    const auto *p = indptr.data();
    require(p[0] == 0 && p[n] == data.size(), "indptr must run from 0 to the number of entries");
    for (std::size_t i = 0; i < n; ++i)
      require(p[i] <= p[i + 1], "indptr must not decrease");
    return {n, p, indices.data(), data.data()};
  }
};

template <class T> py::tuple gershgorin(const CsrArrays<T> &h) {
  const auto v = h.view();
  mm::Interval range;
  {
    py::gil_scoped_release release;
    range = mm::gershgorin(v);
  }
  return py::make_tuple(range.lower, range.upper);
}

template <class T>
py::array_t<double> kpm_moments(const CsrArrays<T> &h, double center, double half_width,
                                std::size_t moments, std::uint64_t seed,
                                const carray<std::uint64_t> &vector_ids, unsigned threads) {
  const auto v = h.view();
  require(vector_ids.ndim() == 1, "vector_ids must be 1-D");
  const auto nv = static_cast<std::size_t>(vector_ids.size());
  py::array_t<double> out({static_cast<py::ssize_t>(nv), static_cast<py::ssize_t>(moments)});
  bool finished;
  {
    py::gil_scoped_release release;
    finished = mm::kpm_moments(v, center, half_width, moments, seed, vector_ids.data(), nv,
                               out.mutable_data(), interrupted, threads);
  }
  if (!finished)
    throw py::error_already_set();
  return out;
}

// Canonical bonds within [r_min, cutoff) as (row, col, shift, bond) arrays.
py::tuple bond_pairs(const carray<double> &cell, const carray<double> &positions, double cutoff,
                     double r_min, const std::array<bool, 3> &pbc) {
  require(cell.ndim() == 2 && cell.shape(0) == 3 && cell.shape(1) == 3,
          "cell must have shape (3, 3)");
  require(positions.ndim() == 2 && positions.shape(1) == 3, "positions must have shape (n, 3)");
  mm::Cell c{};
  std::copy(cell.data(), cell.data() + 9, c.begin());
  const std::span<const double> xyz(positions.data(),
                                    static_cast<std::size_t>(positions.shape(0)) * 3);
  mm::BondPairs pairs;
  {
    py::gil_scoped_release release;
    pairs = mm::bond_pairs(c, xyz, cutoff, r_min, pbc, static_cast<int>(mm::team_size(2)));
  }
  const auto m = static_cast<py::ssize_t>(pairs.size());
  return py::make_tuple(to_array(std::move(pairs.row)), to_array(std::move(pairs.col)),
                        to_array(std::move(pairs.shift)).reshape({m, py::ssize_t{3}}),
                        to_array(std::move(pairs.bond)).reshape({m, py::ssize_t{3}}));
}

template <class T> void bind_scalar(py::module_ &m, const std::string &suffix) {
  m.def(("assemble" + suffix).c_str(),
        [](carray<double> onsite, carray<std::int32_t> row, carray<std::int32_t> col,
           carray<T> value, carray<double> bond, std::optional<carray<double>> k) {
          return assemble<T>({onsite, row, col, value, bond}, std::move(k));
        },
        py::arg("onsite"), py::arg("row"), py::arg("col"), py::arg("value"), py::arg("bond"),
        py::arg("k") = py::none(),
        "CSR arrays (data, indices, indptr) of H, or of H(k) for a Cartesian k.");
  m.def(("band_energies" + suffix).c_str(),
        [](carray<double> onsite, carray<std::int32_t> row, carray<std::int32_t> col,
           carray<T> value, carray<double> bond, carray<double> kpoints, unsigned threads) {
          return band_energies<T>({onsite, row, col, value, bond}, kpoints, threads);
        },
        py::arg("onsite"), py::arg("row"), py::arg("col"), py::arg("value"), py::arg("bond"),
        py::arg("kpoints"), py::arg("threads") = 0,
        "Ascending eigenvalues of H(k), one row per k-point, on at most `threads` threads "
        "(0: all).");
  m.def(("gershgorin" + suffix).c_str(),
        [](carray<T> data, carray<std::int32_t> indices, carray<std::int64_t> indptr) {
          return gershgorin<T>({data, indices, indptr});
        },
        py::arg("data"), py::arg("indices"), py::arg("indptr"),
        "Lower and upper Gershgorin bounds of a CSR matrix.");
  m.def(("kpm_moments" + suffix).c_str(),
        [](carray<T> data, carray<std::int32_t> indices, carray<std::int64_t> indptr, double center,
           double half_width, std::size_t moments, std::uint64_t seed,
           carray<std::uint64_t> vector_ids, unsigned threads) {
          return kpm_moments<T>({data, indices, indptr}, center, half_width, moments, seed,
                                vector_ids, threads);
        },
        py::arg("data"), py::arg("indices"), py::arg("indptr"), py::arg("center"),
        py::arg("half_width"), py::arg("moments"), py::arg("seed"), py::arg("vector_ids"),
        py::arg("threads") = 0,
        "Chebyshev moments per site, one row per random vector, on at most `threads` threads "
        "(0: all).");
}

} // namespace

void bind_model(py::module_ &m) {
  // One function per scalar type, no overloads: the caller picks by dtype, and
  // a complex array can never be cast silently to float64.
  m.def("bond_pairs", &bond_pairs, py::arg("cell"), py::arg("positions"), py::arg("cutoff"),
        py::arg("r_min"), py::arg("pbc"),
        "Canonical neighbour pairs (row, col, shift, bond) with r_min < |bond| < cutoff.");
  m.def(
      "kpm_start_vector",
      [](std::uint64_t seed, std::uint64_t vector, std::size_t n, bool complex) -> py::array {
        if (complex) {
          py::array_t<mm::cplx> out(static_cast<py::ssize_t>(n));
          for (std::size_t i = 0; i < n; ++i)
            out.mutable_data()[i] = mm::random_phase(seed, vector, i);
          return out;
        }
        py::array_t<double> out(static_cast<py::ssize_t>(n));
        for (std::size_t i = 0; i < n; ++i)
          out.mutable_data()[i] = mm::random_sign(seed, vector, i);
        return out;
      },
      py::arg("seed"), py::arg("vector"), py::arg("n"), py::arg("complex"),
      "Random vector `vector` of stream `seed` as the KPM recursion starts it.");
  bind_scalar<double>(m, "_real");
  bind_scalar<mm::cplx>(m, "_complex");
}

} // namespace morvak_py
