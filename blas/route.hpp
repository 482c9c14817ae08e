#pragma once
// Where the BLAS and LAPACK calls of this module go.
//
// Every routine is reached through a table of jumps that starts out at the
// OpenBLAS this module was linked with. numpy's wheels carry their own copy of
// the same OpenBLAS build, with its own pool of worker threads; two pools on
// few cores spin against each other whenever calls alternate. Pointing the
// table at numpy's copy leaves one instance and one pool for both.
#include <string>
#include <vector>

namespace morvak::blas {

// Points every routine at the OpenBLAS in `library` when it exports all of
// them under the same names; otherwise changes nothing. True on success.
bool route_to(const std::string &library);

// The OpenBLAS of the numpy that an import would find first on `search_path`
// (a list like Python's sys.path), or "" when that numpy carries none.
std::string numpy_openblas(const std::vector<std::string> &search_path);

// The file the calls go to now.
std::string library();

} // namespace morvak::blas
