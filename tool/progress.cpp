#include "tool/progress.hpp"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <span>

#include "tool/human_size.hpp"

namespace blankimg {

namespace {

// A terminal can take ten redraws a second; a log wants a line every few.
constexpr std::uint64_t smart_interval = 100'000'000;  // nanoseconds
constexpr std::uint64_t plain_interval = 5'000'000'000;

// A status line: "\r", the text, "\x1b[K" and "\n" at the most.
using line_buffer = std::array<char, 160>;
constexpr std::size_t line_frame = 5;

double seconds_between(std::uint64_t from, std::uint64_t to) {
  return static_cast<double>(to - from) / 1e9;
}

// "12.0 MiB of 504.0 MiB (2%), 1.1 GiB/s, 1 s left", or "..., done in 0.4 s"
int format_line(std::span<char> line, const progress_meter &meter, std::uint64_t now,
                bool complete) {
  const double elapsed = seconds_between(meter.started, now);
  const double rate = elapsed > 0 ? static_cast<double>(meter.done) / elapsed : 0;
  size_text done{};
  size_text total{};
  size_text speed{};
  format_size(done, static_cast<double>(meter.done));
  format_size(total, static_cast<double>(meter.total));
  format_size(speed, rate);
  const std::uint64_t percent = meter.total == 0 ? 100 : meter.done * 100 / meter.total;
  if (complete) {
    return std::snprintf(line.data(), line.size(), "%s of %s (%" PRIu64 "%%), %s/s, done in %.1f s",
                         done.data(), total.data(), percent, speed.data(), elapsed);
  }
  if (rate <= 0) {
    return std::snprintf(line.data(), line.size(), "%s of %s (%" PRIu64 "%%)", done.data(),
                         total.data(), percent);
  }
  const double left = static_cast<double>(meter.total - meter.done) / rate;
  return std::snprintf(line.data(), line.size(), "%s of %s (%" PRIu64 "%%), %s/s, %.0f s left",
                       done.data(), total.data(), percent, speed.data(), left);
}

// Standard error is unbuffered: one write for the whole line keeps it from
// flickering. Should the write fail, the run still reports by its status.
void put_text(const char *text, std::size_t length) {
  static_cast<void>(std::fwrite(text, 1, length, stderr));
}

void show(progress_meter &meter, std::uint64_t now, bool complete) {
  line_buffer line{};
  std::size_t at = 0;
  if (meter.terminal.smart)
    line[at++] = '\r';
  const std::span<char> text = std::span(line).subspan(at, line.size() - line_frame);
  const int length = format_line(text, meter, now, complete);
  if (length < 0)
    return;
  auto shown = std::min(static_cast<std::size_t>(length), text.size() - 1);
  // Redrawn in place: back to the start, the text cut short of the last
  // column so the cursor never wraps, and the rest of the old line erased.
  // The width is taken anew each time, as the terminal may have been
  // resized. The final line stays whole, wrapped or not: it is the one
  // that is read afterwards.
  if (meter.terminal.smart && !complete) {
    const std::uint32_t width = error_terminal_width();
    shown = std::min<std::size_t>(shown, width > 1 ? width - 1 : 0);
  }
  at += shown;
  if (meter.terminal.smart) {
    for (const char c : {'\x1b', '[', 'K'})
      line[at++] = c;
  }
  if (!meter.terminal.smart || complete)
    line[at++] = '\n';
  put_text(line.data(), at);
  meter.line_open = meter.terminal.smart && !complete;
  meter.shown = now;
}

}  // namespace

progress_meter start_progress(bool enabled, std::uint64_t total) {
  const error_terminal terminal = enabled ? open_error_terminal() : error_terminal{};
  const std::uint64_t now = monotonic_nanoseconds();
  return {.enabled = enabled,
          .terminal = terminal,
          .total = total,
          .done = 0,
          .started = now,
          .shown = now,
          .line_open = false,
          .finished = false};
}

void advance_progress(progress_meter &meter, std::uint64_t bytes) {
  meter.done += bytes;
  if (!meter.enabled)
    return;
  const std::uint64_t now = monotonic_nanoseconds();
  if (now - meter.shown >= (meter.terminal.smart ? smart_interval : plain_interval))
    show(meter, now, false);
}

progress_hook hook_of(progress_meter &meter) {
  if (!meter.enabled)
    return no_progress;
  return {.report =
              [](void *context, std::uint64_t done, std::uint64_t total) {
                auto &shown = *static_cast<progress_meter *>(context);
                shown.total = total;
                advance_progress(shown, done - shown.done);
              },
          .finish =
              [](void *context, bool complete) {
                finish_progress(*static_cast<progress_meter *>(context), complete);
              },
          .context = &meter};
}

void finish_progress(progress_meter &meter, bool complete) {
  if (!meter.enabled || meter.finished)
    return;
  meter.finished = true;
  if (complete)
    show(meter, monotonic_nanoseconds(), true);
  else if (meter.line_open)
    put_text("\n", 1);
  meter.line_open = false;
  close_error_terminal(meter.terminal);
}

}  // namespace blankimg
