#include "engine/copy_engine.hpp"

#include <algorithm>
#include <cstring>

#include "engine/job_memory.hpp"

namespace blankimg {

namespace {

constexpr std::uint32_t piece_size = read_piece;

// The file systems' block, at the least: a block of the destination that
// would get only zeros is left a hole, reading as zeros already.
constexpr std::uint64_t file_system_block = 4096;

// A kernel copy at a time: short enough that a stop signal waits a moment
// at most, long enough to cost nothing in calls.
constexpr std::uint64_t kernel_piece = std::uint64_t{64} << 20;

// A question about runs of data that misses what is known asks about the
// whole region around the offset, so that blocks copied in descending
// order find their answers in it.
constexpr std::uint64_t question_region = std::uint64_t{1} << 20;

// How far ahead of the copy the source is asked for: on a cold cache the
// device then has the next runs' reads at once instead of one at a time,
// and pages already cached cost the asking nothing. At most so many bytes
// of data a time, and never past so far ahead of the copy.
constexpr std::uint64_t read_ahead_data = std::uint64_t{8} << 20;
constexpr std::uint64_t read_ahead_reach = std::uint64_t{256} << 20;

// Whether every byte is zero: the first, then each against the one before,
// in memcmp, which stops at the first that differs, as data's first bytes
// usually do.
bool is_zero(std::span<const std::uint8_t> bytes) {
  return bytes.empty() ||
         (bytes[0] == 0 && std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0);
}

// Writes the piece read for [to, to + piece.size()) of the destination,
// less each file-system block of it that holds only zeros.
[[nodiscard]] bool write_nonzero(copy_engine &engine, std::uint64_t to,
                                 std::span<const std::uint8_t> piece) {
  std::size_t pending = 0;  // the start of the run of non-zero blocks being gathered
  std::size_t at = 0;
  const auto flush = [&](std::size_t end) {
    const auto count = static_cast<std::uint32_t>(end - pending);
    return count == 0 ||
           fseekwrite(*engine.dest, to + pending, count, piece.data() + pending) == count;
  };
  while (at < piece.size()) {
    const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(
        piece.size() - at, file_system_block - (to + at) % file_system_block));
    if (is_zero(piece.subspan(at, block))) {
      if (!flush(at))
        return false;
      pending = at + block;
    }
    at += block;
  }
  return flush(piece.size());
}

// Asks for the source's runs of data after at, up to read_ahead_data
// bytes of them, where they have not been asked for already.
void keep_reading_ahead(copy_engine &engine, std::uint64_t at, std::uint64_t end) {
  const std::uint64_t reach = std::min(end, at + read_ahead_reach);
  std::uint64_t asked = 0;
  std::uint64_t from = std::max(engine.read_ahead_to, at);
  while (from < reach && asked < read_ahead_data) {
    const platform::data_run run = engine.mode == copy_mode::every_byte
                                       ? platform::data_run{.start = from, .end = reach}
                                       : platform::next_data(*engine.source, from, reach);
    if (run.start >= run.end) {
      from = reach;
      break;
    }
    const std::uint64_t length = std::min(run.end - run.start, read_ahead_data - asked);
    platform::read_ahead(*engine.source, run.start, length);
    asked += length;
    from = run.start + length;
  }
  engine.read_ahead_to = std::max(engine.read_ahead_to, from);
}

// Asks again once the copy at from comes within half a window of where
// the last asking stopped, unless the source is in memory.
void read_ahead_when_due(copy_engine &engine, std::uint64_t from) {
  if (engine.reading_ahead && engine.read_ahead_to < from + read_ahead_data / 2)
    keep_reading_ahead(engine, from, std::min(engine.ahead_end, engine.source->size));
}

// One run of data: in the kernel first, where the data is wanted as it is;
// what it could not copy, and every byte where each is to be written,
// through memory, in pieces that end on the destination's boundaries.
[[nodiscard]] run_status copy_run(copy_engine &engine, std::uint64_t from, std::uint64_t to,
                                  std::uint64_t length) {
  const platform::image_source &source = *engine.source;
  if (engine.dest->positioned && engine.kernel_can && engine.mode == copy_mode::data_runs) {
    while (length > 0 && engine.kernel_can) {
      if (platform::stop_signal_waiting())
        return run_status::interrupted;
      read_ahead_when_due(engine, from);
      bool unsupported = false;
      const std::uint64_t copied = platform::copy_in_kernel(
          source, from, engine.dest->handle, to, std::min(length, kernel_piece), unsupported);
      engine.kernel_can = !unsupported;
      count_done(*engine.progress, copied);
      from += copied;
      to += copied;
      length -= copied;
      if (copied == 0 && engine.kernel_can)
        return run_status::write_error;  // a failure, or a source that ended first
    }
  }
  const std::span<std::uint8_t> buffer = engine.buffer.first(piece_size);
  while (length > 0) {
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    // On the destination's boundaries: a write that starts inside a page
    // costs more than a read that does.
    const auto piece =
        buffer.first(static_cast<std::size_t>(piece_to_boundary(to, length, piece_size)));
    const auto count = static_cast<std::uint32_t>(piece.size());
    read_ahead_when_due(engine, from);
    if (!platform::read_at(source, from, piece))
      return run_status::read_error;
    const bool written = engine.mode == copy_mode::nonzero_data
                             ? write_nonzero(engine, to, piece)
                             : fseekwrite(*engine.dest, to, count, piece.data()) == count;
    if (!written)
      return run_status::write_error;
    count_done(*engine.progress, count);
    from += count;
    to += count;
    length -= count;
  }
  return run_status::ok;
}

// The first run of data at or after at and before end, from what is known
// where it can be.
platform::data_run find_data(copy_engine &engine, std::uint64_t at, std::uint64_t end) {
  const std::uint64_t size = engine.source->size;
  if (at < engine.known_from || at >= engine.known.end) {
    // Onwards from the last run, or the region around at.
    const std::uint64_t ask = at == engine.known.end ? at : at - at % question_region;
    engine.known = platform::next_data(*engine.source, ask, size);
    engine.known_from = ask;
    if (engine.known.end <= at && at < size) {
      engine.known = platform::next_data(*engine.source, at, size);
      engine.known_from = at;
    }
  }
  const std::uint64_t start = std::min(std::max(at, engine.known.start), end);
  return {.start = start, .end = std::max(start, std::min(engine.known.end, end))};
}

}  // namespace

copy_engine start_copy(const platform::image_source &source, output_stream &dest, copy_mode mode,
                       progress_count &progress, std::span<std::uint8_t> buffer,
                       bool source_in_memory) {
  return {.source = &source,
          .dest = &dest,
          .mode = mode,
          .progress = &progress,
          .buffer = buffer,
          .kernel_can = true,
          .known_from = 0,
          .known = {.start = 0, .end = 0},
          .reading_ahead = !source_in_memory,
          .read_ahead_to = 0,
          .ahead_end = source.size};
}

run_status copy_bytes(copy_engine &engine, std::uint64_t from, std::uint64_t to,
                      std::uint64_t length) {
  const std::uint64_t end = from + length;
  if (engine.mode == copy_mode::every_byte)
    return copy_run(engine, from, to, length);
  for (std::uint64_t at = from; at < end;) {
    const platform::data_run run = find_data(engine, at, end);
    // The zeros before the run are there already.
    count_done(*engine.progress, run.start - at);
    if (run.start >= end)
      break;
    if (const run_status copied =
            copy_run(engine, run.start, to + (run.start - from), run.end - run.start);
        copied != run_status::ok)
      return copied;
    at = run.end;
  }
  return run_status::ok;
}

run_status finish_copy(const copy_engine &engine, run_status status) {
  std::uint64_t size_now = 0;
  if (status != run_status::interrupted &&
      (!platform::current_size(*engine.source, size_now) || size_now != engine.source->size))
    return run_status::read_error;
  return status;
}

}  // namespace blankimg
