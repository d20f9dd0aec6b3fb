// blankimg [options] dest blocksize cylinders heads sectors/tracks bytes/sector
//
// Creates a blank block-mapped disk image. Silent on success unless asked to
// report progress; on failure prints one line on standard error and exits 1.
#pragma once

#include <span>

namespace blankimg {

// One run of the tool, from the command line, program name first and every
// argument in UTF-8, to the exit status.
[[nodiscard]] int run(std::span<const char *const> command_line);

}  // namespace blankimg
