#pragma once

namespace haldo {

// Replaces `get` and `set` of the Basis and Operator classes, once they are
// registered, by descriptors that serve the common call without pybind11's
// generic dispatcher and hand every other call to pybind11's own function.
void install_fast_access();

} // namespace haldo
