#include "engine/status.hpp"

#include "platform/system.hpp"

namespace blankimg {

failure_reason system_reason(const char *path) {
  return {.cause = failure_cause::system_error,
          .subject = path,
          .subject_length = 0,
          .detail = platform::last_failure_text()};
}

}  // namespace blankimg
