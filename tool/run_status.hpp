// Every outcome of a run, and the one line each failure prints.
#pragma once

namespace blankimg {

enum class run_status {
  ok,
  help,     // --help: the help text on standard output
  version,  // --version: the version on standard output
  usage,
  invalid_blocksize,
  invalid_geometry,
  invalid_size,
  image_too_large,
  invalid_label,     // --label: not a FAT volume label
  fat_does_not_fit,  // --fat: the type cannot hold the volume
  cant_open_dest,
  cant_open_raw,  // --from-raw: RAW missing, unreadable, or held by a writer
  write_error,
  cant_open_image,  // --info
  not_an_image,
  read_error,
  out_of_memory,  // --info: a map in no order to sort, larger than memory
  damaged,        // --info found damage: the description says what, status 2
  interrupted,    // a stop signal came: what was made is given back, then it ends the run
};

// The fixed line for a failure other than usage; nullptr for the answers
// that print none: ok, help, version, usage, damaged and interrupted.
[[nodiscard]] const char *message_for(run_status status);

}  // namespace blankimg
