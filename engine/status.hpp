// Every outcome of a job, and why it failed where more can be said.
#pragma once

#include <cstddef>
#include <cstdint>

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
  // The file jobs.
  no_fat_volume,   // the image, or the volume asked for, holds no FAT file system
  damaged_volume,  // its chains or directories are broken
  cant_add,        // a path or name refused, before anything was written
  no_room,         // the volume has not the room for all of it
  root_full,       // a root directory of FAT12 or FAT16 would overflow
  cant_extract,    // a file to write out refused, or failed
};

// Why a run failed, where more can be said than its fixed line: the second
// line that a command line with options gets.
enum class failure_cause : std::uint8_t {
  none,
  // The command line.
  unknown_option,        // subject: the option
  option_needs_value,    // subject: the option
  invalid_value,         // subject: the option, detail: its value
  wrong_operands,        // neither dest and five numbers, nor dest alone where that is asked
  needs_fat,             // --label or --partition without --fat
  writes_only,           // --preallocation, --sync or --progress with --info or --dry-run
  info_alone,            // --info with what makes a disk
  raw_alone,             // --from-raw or --to-raw with what does not go with a copy
  size_or_floppy,        // --size and --floppy both
  blocksize_needs_disk,  // --blocksize without --size or --floppy, --sector-size without --size
  output_needs_look,     // --output without --info or --dry-run
  files_alone,           // a file job with what does not go with it
  too_many_adds,         // more --add than the tool takes
  // The disk.
  too_many_heads,    // --fat on a geometry of more heads than a BIOS has
  too_many_sectors,  // --fat on a geometry of more sectors per track than a BIOS has
  fat12_past_chs,    // --fat=12 on a partition that only an LBA type can place
  label_not_ascii,   // --label with a byte past printable ASCII
  // The files.
  system_error,     // subject: the file, detail: the system's words
  own_source,       // a copy onto the file or device it copies
  files_need_file,  // --add onto a disk being made into a pipe or device
  empty_raw,        // subject: RAW
  not_raw,          // subject: RAW, detail: the format it is in, and how to convert it
  // The file jobs; subject: the path.
  file_exists,     // on the volume, or in the directory extracted to
  not_fat_name,    // a name FAT cannot hold
  case_clash,      // differs from another name in its directory only by case
  special_file,    // a symbolic link, device, FIFO or socket
  file_too_large,  // 4 GiB or more
  tree_too_deep,   // past the depth a tree may have
  file_changed,    // its length changed while it was copied
  more_room,       // detail: the bytes more that are needed
  image_damaged,   // the image's own findings; see --info
  no_such_volume,  // detail: the number asked for
  volume_damaged,  // detail: what is broken
};

struct failure_reason {
  failure_cause cause;
  const char *subject;
  std::size_t subject_length;  // of subject's characters shown; 0: all of them
  const char *detail;
};
inline constexpr failure_reason no_reason = {
    .cause = failure_cause::none, .subject = nullptr, .subject_length = 0, .detail = nullptr};

// A failure on the file at path, in the system's words for the call that
// just failed.
[[nodiscard]] failure_reason system_reason(const char *path);

}  // namespace blankimg
