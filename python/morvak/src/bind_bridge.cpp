#include "python/morvak/src/bindings.hpp"

namespace morvak_py {

void bind_bridge(pybind11::module_ &) {}

} // namespace morvak_py
