// The file jobs: the files of an image's FAT volume listed, copied out
// into a directory, or copied in from the host's files and directories,
// into an image that exists or one just made.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "disk/fat_tree.hpp"
#include "disk/format.hpp"
#include "engine/job_memory.hpp"
#include "engine/status.hpp"
#include "image/image_format.hpp"

namespace blankimg {

// What a failed file job says of it: the path it failed on and a number,
// kept here for the failure's cause to point at.
struct file_job_report {
  failure_reason why;
  std::array<char, most_path_bytes> subject;
  std::array<char, 32> detail;
};

// Which of the image's volumes, numbered from 1 as --info lists them; 0:
// the first that holds a FAT file system.
using volume_number = std::uint32_t;

struct listed_file {
  std::string_view path;  // from the root, "/" between names
  std::string_view short_name;
  bool directory;
  std::uint8_t attributes;
  std::uint32_t size;
  std::uint16_t date;  // as the directory entry keeps them
  std::uint16_t time;
  std::uint32_t clusters;
};

struct list_hook {
  bool (*take)(void *context, const listed_file &file);  // false: stop, a write failed
  void *context;
};

// Calls the hook for every file and directory of the volume, a directory
// before what it holds. Returns ok; the image's failures as inspect_image
// gives them; no_fat_volume; damaged_volume where the volume's chains or
// directories are broken (what came before was listed); or write_error
// where the hook stopped it.
[[nodiscard]] run_status list_files(const char *image, volume_number volume, list_hook hook,
                                    job_memory &memory, file_job_report &report);

// Copies every file and directory of the volume into directory, made where
// missing: times kept, read-only files without their write bits, a file
// that is there already refused (exists) unless force.
[[nodiscard]] run_status extract_files(const char *image, volume_number volume,
                                       const char *directory, bool force, job_memory &memory,
                                       file_job_report &report);

struct add_request {
  std::span<const char *const> paths;  // each copied as cp -r copies it; DIR/. for DIR's contents
  bool force;                          // a file there already is replaced
  // Host times later than this are kept as this: SOURCE_DATE_EPOCH's.
  std::uint64_t latest;
  bool plan_only;  // count and check, and write nothing
};

// What adding takes: counted before anything is written.
struct add_totals {
  std::uint64_t files;
  std::uint64_t directories;
  std::uint64_t clusters;
  std::uint64_t cluster_bytes;
  std::uint64_t free_clusters;  // before
};

// Adds the paths to the volume of the image, which it holds locked:
// checks every path, name and the room first, and refuses before writing
// anything (cant_add, no_room, root_full, with the path); then writes the
// files' data, then the FAT, then the directories. The image is checked
// first, and a damaged one refused.
[[nodiscard]] run_status add_files(const char *image, volume_number volume,
                                   const add_request &request, job_memory &memory,
                                   add_totals &totals, file_job_report &report);

// The same into an image just made with this format, whose volume's free
// clusters read as zeros.
[[nodiscard]] run_status add_files_to_new(const char *image, const add_request &request,
                                          job_memory &memory, add_totals &totals,
                                          file_job_report &report);

// Whether a disk made at dest can then take files: dest is a file, or
// not there yet; never a pipe or a device, which cannot be read back.
[[nodiscard]] bool takes_files_after(const char *dest);

// What adding the paths to a disk of this geometry and format would take,
// writing nothing: ok, or the refusal add_files would give.
[[nodiscard]] run_status plan_added_files(const image_header &header, const disk_format &format,
                                          const add_request &request, job_memory &memory,
                                          add_totals &totals, file_job_report &report);

}  // namespace blankimg
