// The description of an image that --info prints for one that exists and
// --dry-run for one yet to be made: the same printer for both, in text for
// people or in JSON for scripts.
#pragma once

#include <cstdint>

#include "engine/file_jobs.hpp"
#include "engine/inspect_image.hpp"
#include "image/image_check.hpp"
#include "tool/command_line.hpp"

namespace blankimg {

struct image_description {
  const char *filename;
  image_header header;
  std::uint64_t file_size;       // bytes
  std::uint64_t actual_size;     // bytes of disk space the file takes
  bool as_created;               // exactly the layout this tool creates
  layout_difference difference;  // why not, when not
  image_findings findings;
  disk_view disk;
  raw_geometry_source geometry_from;  // --from-raw with no disk given: why this one
  const add_totals *added;            // --add with --dry-run: what the files would take
};

// The description of the image a plan would make.
[[nodiscard]] image_description describe_plan(const image_plan &plan);

// The description of an image that was read and checked.
[[nodiscard]] image_description describe_check(const char *filename, const image_check &check,
                                               std::uint64_t actual_size, const disk_view &disk);

// Prints the description on standard output; false when that fails.
[[nodiscard]] bool print_description(const image_description &description, output_format format);

// --add with --dry-run into an image: what the files would take.
[[nodiscard]] bool print_added_totals(const add_totals &totals, output_format format);

// --list: one line for each file, or one JSON object in an array; first
// is the first file's, last is called once after the last.
struct list_printer {
  output_format format;
  bool first;
};
[[nodiscard]] bool print_listed_file(list_printer &list, const listed_file &file);
[[nodiscard]] bool finish_file_list(list_printer &list);

}  // namespace blankimg
