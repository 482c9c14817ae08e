#include "python/morvak/src/bindings.hpp"

namespace morvak_py {

void bind_formats(pybind11::module_ &) {}

} // namespace morvak_py
