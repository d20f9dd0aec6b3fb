// The create job: an image of a blank, formatted or copied disk, written
// in one pass over the disk in order, then closed.
#pragma once

#include <cstdint>

#include "disk/format.hpp"
#include "engine/copy_engine.hpp"
#include "engine/job_memory.hpp"
#include "engine/output_stream.hpp"
#include "engine/progress_hook.hpp"
#include "engine/status.hpp"
#include "image/image_format.hpp"

namespace blankimg {

// How the data area gets its zeros.
enum class preallocation {
  off,     // a hole: no disk space until it is written
  falloc,  // disk space reserved by the file system, nothing written
  full,    // every zero written
};

struct raw_disk;

struct create_request {
  const char *dest;
  image_header header;
  std::uint32_t block_bytes;  // blocksize * bytes_per_sector
  preallocation mode;
  bool no_clobber;            // never replace an existing dest
  bool sync;                  // reach stable storage before reporting success
  const disk_format *format;  // the disk partitioned and formatted, or none
  const raw_disk *raw;        // a raw disk whose bytes the disk starts with, or none
  progress_hook progress;     // of the image's bytes
};

// Makes the image the request describes: refuses a raw disk that is dest
// itself, holds stop signals back from the open to the close, writes the
// header, map and marker and then the disk in order, each run rendered,
// copied or given its zeros as the mode says (a copy's marker last), and
// closes. Returns ok; cant_open_dest, write_error, read_error of the raw
// disk, or interrupted, with why filled where more can be said. A failure
// in the data area gives its room back.
[[nodiscard]] run_status create_image(const create_request &request, job_memory &memory,
                                      failure_reason &why);

// Whether dest could be created, or replaced where no_clobber allows; for
// a plan that makes nothing.
[[nodiscard]] bool destination_would_open(const char *dest, bool no_clobber);

// Gives [offset, offset + length) its zeros as mode says: reserved, a hole,
// or written from memory; the file is then at least offset + length bytes
// long. Returns ok, write_error, or interrupted where a stop signal waits.
[[nodiscard]] run_status give_zeros(output_stream &stream, preallocation mode, std::uint64_t offset,
                                    std::uint64_t length, progress_count &progress,
                                    job_memory &memory);

// How a copy onto a destination given its zeros in mode is made: each byte
// in order into a pipe or for full; otherwise its data alone, less the
// blocks of zeros for off, which stay holes.
[[nodiscard]] copy_mode copy_mode_for(const output_stream &stream, preallocation mode);

struct open_image {
  output_stream stream;
  bool created;  // dest did not exist before this run
};

// Creates path, or locks and cuts the file there, unless no_clobber
// forbids it.
[[nodiscard]] bool open_destination(const char *path, bool no_clobber, open_image &image);

// Flushes and closes the image, first syncing it to stable storage when
// asked; false when any of that fails. The stream is closed in any case.
[[nodiscard]] bool close_destination(open_image &image, const char *path, bool sync);

}  // namespace blankimg
