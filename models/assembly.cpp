#include "models/assembly.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace morvak::models {

namespace {

double conj_of(double v) { return v; }
cplx conj_of(cplx v) { return std::conj(v); }

template <class V> struct Entry {
  std::int32_t col;
  V value;
};

// Counting sort by row, then each row sorted by column with duplicates summed.
template <class V, class ValueOf>
Csr<V> build(std::size_t sites, const double *onsite, std::size_t count, const std::int32_t *row,
             const std::int32_t *col, ValueOf value_of) {
  std::vector<std::int64_t> start(sites + 1, 0);
  for (std::size_t i = 0; i < sites; ++i)
    start[i + 1] += onsite[i] != 0.0;
  for (std::size_t p = 0; p < count; ++p) {
    ++start[static_cast<std::size_t>(row[p]) + 1];
    ++start[static_cast<std::size_t>(col[p]) + 1];
  }
  for (std::size_t i = 0; i < sites; ++i)
    start[i + 1] += start[i];

  std::vector<Entry<V>> entries(static_cast<std::size_t>(start[sites]));
  std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < sites; ++i)
    if (onsite[i] != 0.0)
      entries[fill[i]++] = {static_cast<std::int32_t>(i), V(onsite[i])};
  for (std::size_t p = 0; p < count; ++p) {
    const V v = value_of(p);
    entries[fill[row[p]]++] = {col[p], v};
    entries[fill[col[p]]++] = {row[p], conj_of(v)};
  }

  Csr<V> csr;
  csr.rows = sites;
  csr.indptr.assign(sites + 1, 0);
  csr.indices.resize(entries.size());
  csr.data.resize(entries.size());
  std::size_t out = 0;
  for (std::size_t i = 0; i < sites; ++i) {
    Entry<V> *first = entries.data() + start[i], *last = entries.data() + start[i + 1];
    // Rows hold a handful of entries: insertion sort beats a general sort.
    for (Entry<V> *e = first + 1; e < last; ++e)
      for (Entry<V> *f = e; f > first && f->col < (f - 1)->col; --f)
        std::swap(*f, *(f - 1));
    const std::size_t row_start = out;
    for (Entry<V> *e = first; e != last; ++e) {
      if (out > row_start && csr.indices[out - 1] == e->col)
        csr.data[out - 1] += e->value;
      else {
        csr.indices[out] = e->col;
        csr.data[out] = e->value;
        ++out;
      }
    }
    csr.indptr[i + 1] = static_cast<std::int64_t>(out);
  }
  csr.indices.resize(out);
  csr.data.resize(out);
  return csr;
}

template <class T> cplx bloch_value(const Terms<T> &t, std::size_t p, const double *k) {
  const double *d = t.bond + 3 * p;
  const double phase = k[0] * d[0] + k[1] * d[1] + k[2] * d[2];
  return cplx(t.value[p]) * cplx(std::cos(phase), std::sin(phase));
}

} // namespace

template <class T> void check_terms(const Terms<T> &terms) {
  const auto n = static_cast<std::int64_t>(terms.sites);
  for (std::size_t p = 0; p < terms.count; ++p) {
    if (terms.row[p] < 0 || terms.row[p] >= n || terms.col[p] < 0 || terms.col[p] >= n)
      throw std::out_of_range("hopping term " + std::to_string(p) + " joins sites " +
                              std::to_string(terms.row[p]) + " and " +
                              std::to_string(terms.col[p]) + ", expected indices in [0, " +
                              std::to_string(n) + ")");
  }
}

template <class T> Csr<T> assemble(const Terms<T> &t) {
  check_terms(t);
  return build<T>(t.sites, t.onsite, t.count, t.row, t.col,
                  [&](std::size_t p) { return t.value[p]; });
}

template <class T> Csr<cplx> assemble_bloch(const Terms<T> &t, const double *k) {
  check_terms(t);
  return build<cplx>(t.sites, t.onsite, t.count, t.row, t.col,
                     [&](std::size_t p) { return bloch_value(t, p, k); });
}

template <class T> void fill_bloch_dense(const Terms<T> &t, const double *k, cplx *out) {
  const std::size_t n = t.sites;
  std::fill(out, out + n * n, cplx(0.0));
  for (std::size_t i = 0; i < n; ++i)
    out[i * n + i] = t.onsite[i];
  for (std::size_t p = 0; p < t.count; ++p) {
    const cplx v = bloch_value(t, p, k);
    const auto r = static_cast<std::size_t>(t.row[p]), c = static_cast<std::size_t>(t.col[p]);
    out[c * n + r] += v; // column-major: element (r, c)
    out[r * n + c] += std::conj(v);
  }
}

template void check_terms(const Terms<double> &);
template void check_terms(const Terms<cplx> &);
template Csr<double> assemble(const Terms<double> &);
template Csr<cplx> assemble(const Terms<cplx> &);
template Csr<cplx> assemble_bloch(const Terms<double> &, const double *);
template Csr<cplx> assemble_bloch(const Terms<cplx> &, const double *);
template void fill_bloch_dense(const Terms<double> &, const double *, cplx *);
template void fill_bloch_dense(const Terms<cplx> &, const double *, cplx *);

} // namespace morvak::models
