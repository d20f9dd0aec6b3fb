// What a program around the jobs needs of its system: the process made
// ready, the clock, the manual's place, and the terminal a progress line
// is drawn on. The system's own calls, named for the floors above.
#pragma once

#include "platform/system.hpp"

namespace blankimg {

using platform::close_error_terminal;
using platform::error_terminal_width;
using platform::manual_location;
using platform::monotonic_nanoseconds;
using platform::open_error_terminal;
using platform::prepare_process;
using platform::unix_seconds_now;
using error_terminal = platform::terminal;

}  // namespace blankimg
