#include "tool/copy_disk.hpp"

#include <algorithm>
#include <array>

#include "tool/io_buffer.hpp"

namespace blankimg {

namespace {

// Some file systems answer SEEK_DATA slowly, and a file may be fragmented
// into millions of runs: past this many questions, the rest is copied
// whole.
constexpr std::uint64_t most_run_questions = 1U << 16;

// One run: in the kernel first; what it could not copy, through memory,
// in reads that start on the buffer's boundaries.
[[nodiscard]] bool copy_run(const platform::image_source &source, std::uint64_t from,
                            output_stream &dest, std::uint64_t to, std::uint64_t length,
                            bool &kernel_can, progress_meter &progress) {
  if (dest.positioned && kernel_can) {
    bool unsupported = false;
    const std::uint64_t copied =
        platform::copy_in_kernel(source, from, dest.handle, to, length, unsupported);
    kernel_can = !unsupported;
    advance_progress(progress, copied);
    from += copied;
    to += copied;
    length -= copied;
    if (length > 0 && kernel_can)
      return false;  // a failure, or a source that ended first
  }
  constexpr std::uint32_t piece_size = io_buffer_size / 2;
  const std::span<std::uint8_t> buffer = io_buffer().subspan(piece_size);
  while (length > 0) {
    const auto piece =
        buffer.first(static_cast<std::size_t>(piece_to_boundary(from, length, piece_size)));
    const auto count = static_cast<std::uint32_t>(piece.size());
    if (!platform::read_at(source, from, piece) ||
        fseekwrite(dest, to, count, piece.data()) != count)
      return false;
    advance_progress(progress, count);
    from += count;
    to += count;
    length -= count;
  }
  return true;
}

// The file systems' block, at the least: a run of data is kept whole to
// the source's blocks, which need not be the destination's.
constexpr std::uint64_t file_system_block = 4096;

bool all_zero(const platform::image_source &source, std::uint64_t offset, std::uint64_t length) {
  std::array<std::uint8_t, file_system_block> bytes{};
  const std::span<std::uint8_t> part = std::span(bytes).first(static_cast<std::size_t>(length));
  return platform::read_at(source, offset, part) &&
         std::ranges::all_of(part, [](std::uint8_t byte) { return byte == 0; });
}

// Leaves out the zeros at either edge of a run, up to the destination's
// block boundaries, so that a run the source's blocks rounded out takes no
// more blocks in the destination than its data needs: the destination
// reads as zeros there already.
platform::data_run trim_zero_edges(const platform::image_source &source, platform::data_run run,
                                   std::uint64_t dest_start) {
  const std::uint64_t head =
      std::min((file_system_block - dest_start % file_system_block) % file_system_block,
               run.end - run.start);
  if (head > 0 && head < run.end - run.start && all_zero(source, run.start, head)) {
    run.start += head;
    dest_start += head;
  }
  const std::uint64_t tail = (dest_start + (run.end - run.start)) % file_system_block;
  if (tail > 0 && tail < run.end - run.start && all_zero(source, run.end - tail, tail))
    run.end -= tail;
  return run;
}

}  // namespace

bool copy_bytes(const platform::image_source &source, std::uint64_t from, output_stream &dest,
                std::uint64_t to, std::uint64_t length, bool holes_stay, progress_meter &progress) {
  bool kernel_can = true;
  std::uint64_t questions = 0;
  const std::uint64_t end = from + length;
  for (std::uint64_t at = from; at < end;) {
    const bool ask = holes_stay && ++questions <= most_run_questions;
    const platform::data_run found =
        ask ? platform::next_data(source, at, end) : platform::data_run{.start = at, .end = end};
    if (found.start >= end) {
      advance_progress(progress, end - at);  // a hole to the end, there already
      break;
    }
    const platform::data_run run =
        holes_stay ? trim_zero_edges(source, found, to + (found.start - from)) : found;
    advance_progress(progress, (run.start - at) + (found.end - run.end));  // zeros, there already
    if (!copy_run(source, run.start, dest, to + (run.start - from), run.end - run.start, kernel_can,
                  progress))
      return false;
    at = found.end;
  }
  return true;
}

}  // namespace blankimg
