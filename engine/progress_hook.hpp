// How a job tells its caller how far it got: a function and its context,
// called with the bytes done of the total as the work goes on.
#pragma once

#include <cstdint>

namespace blankimg {

struct progress_hook {
  void (*report)(void *context, std::uint64_t done, std::uint64_t total);  // or none
  // Once at the end, complete or not, before the job lets a stop signal
  // that came meanwhile end the process; or none.
  void (*finish)(void *context, bool complete);
  void *context;
};
inline constexpr progress_hook no_progress = {
    .report = nullptr, .finish = nullptr, .context = nullptr};

struct progress_count {
  progress_hook hook;
  std::uint64_t total;
  std::uint64_t done;
};

[[nodiscard]] constexpr progress_count start_count(progress_hook hook, std::uint64_t total) {
  return {.hook = hook, .total = total, .done = 0};
}

inline void finish_count(const progress_count &count, bool complete) {
  if (count.hook.finish != nullptr)
    count.hook.finish(count.hook.context, complete);
}

inline void count_done(progress_count &count, std::uint64_t bytes) {
  count.done += bytes;
  if (count.hook.report != nullptr)
    count.hook.report(count.hook.context, count.done, count.total);
}

}  // namespace blankimg
