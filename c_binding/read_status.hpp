#pragma once

#include "crystal/line_source.hpp"

namespace morvak::c_binding {

// c_read_xyz with a stop request, asked while the read runs or waits for
// input. Returns what c_read_xyz returns, or EINTR when the request stopped
// the read; the message is then "the read was interrupted".
int read_xyz_status(const char *xyz_file_in_c, const crystal::StopRequest &stop);

} // namespace morvak::c_binding
