// Reading and checking the command line: every answer the tool can give
// without touching the file system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "disk/format.hpp"
#include "engine/create_image.hpp"
#include "image/image_format.hpp"
#include "tool/run_status.hpp"

namespace blankimg {

inline constexpr std::size_t argument_count = 6;     // the operands, after the options
inline constexpr std::size_t most_added_paths = 64;  // --add, given again and again

enum class output_format { text, json };

struct run_options {
  preallocation mode = preallocation::falloc;
  bool mode_given = false;
  bool help = false;
  bool version = false;
  bool progress = false;    // report the work on standard error
  bool no_clobber = false;  // never replace an existing dest
  bool sync = false;        // reach stable storage before reporting success
  bool dry_run = false;     // describe the image, make nothing
  bool info = false;        // describe and check the image at dest
  bool output_given = false;
  output_format output = output_format::text;
  // The disk by size or by floppy format instead of a geometry, as given;
  // read once the usage is known to be right, in the order of the checks.
  const char *size = nullptr;
  const char *floppy = nullptr;
  const char *blocksize = nullptr;
  const char *sector_size = nullptr;
  // --fat, --fat=TYPE, --label and --partition: the disk formatted.
  bool fat = false;
  fat_request fat_type = fat_request::by_size;
  partition_scheme partitions = partition_scheme::as_the_disk_has;
  bool partitions_given = false;
  const char *label = nullptr;
  // --from-raw=RAW: dest holds RAW's bytes; --to-raw=RAW: RAW gets the
  // disk of the image operand.
  const char *from_raw = nullptr;
  const char *to_raw = nullptr;
  // The file jobs: --add=PATH (to a new disk, or into an image), --extract=DIR,
  // --list, with --volume=N and --force.
  std::array<const char *, most_added_paths> added{};
  std::size_t added_count = 0;
  const char *extract = nullptr;
  bool list = false;
  bool force = false;
  std::uint32_t volume = 0;
  bool volume_given = false;
};

// Everything the writer needs, worked out before the destination is opened.
struct image_plan {
  const char *dest;  // or the image to describe, for --info
  image_header header;
  std::uint32_t block_bytes;  // blocksize * bytes_per_sector
  run_options options;
  bool formatted;  // with --fat: the format, on the disk
  disk_format format;
  // --from-raw with no disk given: the geometry waits for RAW to be read,
  // then says where it came from.
  bool geometry_from_raw;
  raw_geometry_source raw_source;
  // --add with a disk to make: the files go onto its new volume.
  bool adds_to_new;
  // Six operands, or no option at all: the form whose every output stays
  // as it always was, so no failure there gets a cause line.
  bool bare_operands;
  failure_reason why;  // of the failure, where more can be said
};

// With --from-raw and no disk given: the disk that holds length bytes of
// RAW, whose sectors show this geometry. Returns ok, or why no image can
// hold it.
[[nodiscard]] run_status plan_from_raw(image_plan &plan, std::uint64_t length,
                                       const raw_geometry &geometry);

// Reads a decimal number the way atoi does: leading C-locale white space, one
// optional sign, then digits up to the first other character; no digits read
// as 0. The value is taken modulo 2^32, so "-1" reads 4294967295. Digits that
// name a value outside -2147483648..4294967295 are refused.
[[nodiscard]] std::optional<std::uint32_t> read_number(const char *text);

// Reads a mode name; none for a name that is not one.
[[nodiscard]] std::optional<preallocation> read_preallocation(const char *text);

struct size_reading {
  run_status status;    // ok, invalid_size, or image_too_large past 64 bits
  std::uint64_t bytes;  // when ok
};

// Reads a size as coreutils' truncate does: decimal digits, then at most one
// suffix: none or B for bytes; K, M, G, T or P in either case, alone or with
// iB, for powers of 1024; with B, for powers of 1000. 0 is no size.
[[nodiscard]] size_reading read_size(const char *text);

// Checks the whole command line, program name and options included, and
// fills the plan. Returns the first failure found, help or version when
// asked for, or ok.
//
// Options come first and begin with "--"; the first argument that does not,
// or the one after a lone "--", starts the operands: six, or dest alone
// with --size or --floppy, or the image alone with --info. An argument
// that is exactly one of the tool's options (a flag, or --name=VALUE) is
// that option wherever it stands before a "--"; one among the operands is a
// usage error. Six arguments none of which is such an option are the six
// operands, so that every such command line means what it always has, even
// with a dest that begins with "--".
//
// unix_seconds is the moment a formatted disk is made at: its volume serial
// number and its label's date come from it.
[[nodiscard]] run_status plan_image(std::span<const char *const> command_line, image_plan &plan,
                                    std::uint64_t unix_seconds = 0);

// The name for the usage line: the invoked name, or "blankimg" without one.
[[nodiscard]] const char *program_name(std::span<const char *const> command_line);

}  // namespace blankimg
