// The copy engine: bytes from a file read by position to an output stream,
// run of data by run of data, holes left holes where the destination
// already reads as zeros there.
#pragma once

#include <cstdint>

#include <span>

#include "engine/output_stream.hpp"
#include "engine/progress_hook.hpp"
#include "engine/status.hpp"
#include "platform/system.hpp"

namespace blankimg {

// What of the source is written.
enum class copy_mode : std::uint8_t {
  every_byte,  // in order, holes as zeros: a pipe takes nothing else
  data_runs,   // the source's runs of data: the destination reads as zeros between them
  // Its runs of data less each block of the destination's file system that
  // they would fill with zeros only: such a block stays a hole, as
  // cp --sparse=always leaves it.
  nonzero_data,
};

struct copy_engine {
  const platform::image_source *source;
  output_stream *dest;
  copy_mode mode;
  progress_count *progress;
  std::span<std::uint8_t> buffer;  // the bytes on their way through memory
  bool kernel_can;                 // copy_file_range has not refused this pair of files
  // The last answer about the source's runs of data: from known_from to
  // known.start a hole, then data to known.end. A question inside that
  // span is answered from it, so that blocks copied in any order cost a
  // question a region, not one a block.
  std::uint64_t known_from;
  platform::data_run known;
  // Whether the copy asks for the source ahead of its reads: unless the
  // page cache held all of it when the job started. Asking for what is in
  // memory already costs a warm copy a tenth of its time.
  bool reading_ahead;
  // The source's bytes up to here have been asked for ahead of the copy,
  // and none is asked for past ahead_end: the source's end, or the end of
  // the part of it the caller copies.
  std::uint64_t read_ahead_to;
  std::uint64_t ahead_end;
};

// source_in_memory: platform::is_in_memory of the source, which a job
// copying many files out of one image asks once, as the question costs a
// walk of every cached page of the file (10 ms for a warm GiB).
[[nodiscard]] copy_engine start_copy(const platform::image_source &source, output_stream &dest,
                                     copy_mode mode, progress_count &progress,
                                     std::span<std::uint8_t> buffer, bool source_in_memory);

// Copies length bytes of the source from offset from to the destination
// at to, as the engine's mode says: in the kernel where it can, through
// the engine's buffer otherwise. Returns ok; read_error
// where the source could not be read or ended first; write_error; or
// interrupted, where a stop signal waits.
[[nodiscard]] run_status copy_bytes(copy_engine &engine, std::uint64_t from, std::uint64_t to,
                                    std::uint64_t length);

// Ends a copy that came to status: a source whose length is not the one
// it was opened with changed while it was read, and nothing copied from it
// can be trusted: read_error.
[[nodiscard]] run_status finish_copy(const copy_engine &engine, run_status status);

}  // namespace blankimg
