// The --progress report on standard error: on a terminal one status line
// redrawn in place, elsewhere a plain line now and then, for logs.
#pragma once

#include <cstdint>

#include "engine/process.hpp"
#include "engine/progress_hook.hpp"

namespace blankimg {

struct progress_meter {
  bool enabled;
  error_terminal terminal;  // smart: redraw one line in place
  std::uint64_t total;      // bytes
  std::uint64_t done;
  std::uint64_t started;  // monotonic nanoseconds
  std::uint64_t shown;    // when the last line went out
  bool line_open;         // a redrawn line waits for its newline
  bool finished;
};

// A meter that reports nothing unless enabled; total is the image's length.
[[nodiscard]] progress_meter start_progress(bool enabled, std::uint64_t total);

// Counts bytes as done, and shows the line when it is due.
void advance_progress(progress_meter &meter, std::uint64_t bytes);

// The hook through which a job reports to the meter; none where it is not
// enabled.
[[nodiscard]] progress_hook hook_of(progress_meter &meter);

// Shows the final line, when the image is complete, and ends the line in
// any case, so that a message after it starts on a line of its own; once,
// however often it is called.
void finish_progress(progress_meter &meter, bool complete);

}  // namespace blankimg
