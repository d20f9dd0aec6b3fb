// What the POSIX systems share, and the few calls in which Linux differs
// from the rest: system_posix.cpp builds on them, system_linux.cpp (or
// system_unix.cpp elsewhere) defines them, with the system's calls that
// only Linux has: fallocate, SEEK_DATA, copy_file_range and open file
// description locks.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace blankimg::platform {

constexpr bool fits_off_t(std::uint64_t value) {
  return value <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

// Errors that mean "not here", as opposed to "no room".
constexpr bool means_unsupported(int error) {
  return error == EOPNOTSUPP || error == ENOSYS || error == ENODEV || error == ESPIPE ||
         error == EINVAL;
}

template <typename call>
int retry_interrupted(call system_call) {
  int result = 0;
  do {
    result = system_call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// fcntl's record-lock commands: of the open file description where the
// system has them, as QEMU takes its locks, of the process otherwise.
extern const int record_lock_command;
extern const int record_test_command;

// An open flag that leaves the access time as it is, or 0.
extern const int open_without_atime;

}  // namespace blankimg::platform
