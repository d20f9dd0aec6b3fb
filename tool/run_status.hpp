// The one line each failure prints, and the text of each cause.
#pragma once

#include "engine/status.hpp"

namespace blankimg {

// The cause's text, in which "%s" stands for the subject and "%d" for the
// detail; nullptr for none.
[[nodiscard]] const char *cause_text(failure_cause cause);

// The fixed line for a failure other than usage; nullptr for the answers
// that print none: ok, help, version, usage, damaged and interrupted.
[[nodiscard]] const char *message_for(run_status status);

}  // namespace blankimg
