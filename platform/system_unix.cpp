// The POSIX systems other than Linux: no reserved space without writing
// it, no holes to be told, no copies in the kernel, and record locks of the
// process, which another process's still meet.
#include <fcntl.h>

#include "platform/posix_calls.hpp"
#include "platform/system.hpp"

namespace blankimg::platform {

const int record_lock_command = F_SETLK;
const int record_test_command = F_GETLK;
const int open_without_atime = 0;

space_result reserve_space(file_handle /*file*/, std::uint64_t /*offset*/,
                           std::uint64_t /*length*/) {
  return space_result::unsupported;  // the zeros are written instead
}

data_run next_data(const image_source & /*source*/, std::uint64_t offset, std::uint64_t end) {
  return {.start = offset, .end = end};  // all of it data, as far as anyone can say
}

bool is_in_memory(const image_source & /*source*/) {
  return false;  // no way to tell: the copy reads ahead
}

std::uint64_t copy_in_kernel(const image_source & /*source*/, std::uint64_t /*from*/,
                             file_handle /*dest*/, std::uint64_t /*to*/, std::uint64_t /*length*/,
                             bool &unsupported) {
  unsupported = true;
  return 0;
}

}  // namespace blankimg::platform
