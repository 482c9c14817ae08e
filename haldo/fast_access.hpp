#pragma once

namespace haldo {

// Replaces `get` and `set` of the Basis and Operator classes, once they are
// registered, by descriptors that serve the common call without pybind11's
// generic dispatcher and hand every other call to pybind11's own function;
// and `__init__` of all six classes by one that refuses an instance of a class
// wrapping another native type before pybind11 sees it.
void install_fast_access();

} // namespace haldo
