#include "tool/run.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.hpp"
#include "tool/command_line.hpp"
#include "tool/describe.hpp"
#include "tool/inspect_image.hpp"
#include "tool/progress.hpp"
#include "tool/raw_disk.hpp"
#include "tool/write_image.hpp"

namespace {

// --info found the image damaged, as qemu-img check says it.
constexpr int damaged_status = 2;

constexpr const char *usage_format =
    "%s dest blocksize cylinders heads sectors/tracks bytes/sector\n";

constexpr const char *help_synopsis =
    "Usage: %s [options] dest blocksize cylinders heads sectors/tracks bytes/sector\n"
    "       %s [options] --size=SIZE dest\n"
    "       %s [options] --floppy=NAME dest\n"
    "       %s [options] --from-raw=RAW [--size=SIZE | --floppy=NAME] dest\n"
    "       %s [options] --to-raw=RAW IMAGE\n"
    "       %s [--output=json] --info IMAGE\n";

constexpr const char *help_text =
    "Creates dest, a blank image of a disk of the given geometry, size or floppy\n"
    "format, in blocks of blocksize sectors; or describes and checks IMAGE.\n"
    "Options stand before or after the operands, up to a lone --:\n"
    "  --size=SIZE           a disk of at least SIZE bytes (K, M, G, T, P: powers\n"
    "                        of 1024, also as KiB...; KB, MB...: powers of 1000),\n"
    "                        16 heads, 63 sectors per track\n"
    "  --floppy=NAME         a PC floppy: 160K 180K 320K 360K 720K 1.2M 1.44M\n"
    "                        1.68M 2.88M\n"
    "  --blocksize=N         sectors per block with --size or --floppy (one track)\n"
    "  --sector-size=N       512 (the default), 1024, 2048 or 4096, with --size\n"
    "  --fat[=TYPE]          partition and format the disk: FAT12, 16 or 32 by its\n"
    "                        size, or the TYPE given (12, 16 or 32)\n"
    "  --label=NAME          the volume's label, with --fat (NO NAME without)\n"
    "  --partition=SCHEME    mbr (a hard disk's default) or none (a floppy's), with\n"
    "                        --fat\n"
    "  --from-raw=RAW        make dest hold RAW's bytes; with no disk given, the\n"
    "                        geometry comes from RAW; holes kept (off) by default\n"
    "  --to-raw=RAW          write IMAGE's disk to RAW\n"
    "  --dry-run             print what would be made, and make nothing\n"
    "  --info                describe and check IMAGE\n"
    "  --output=FORMAT       text (the default) or json, for --info and --dry-run\n"
    "  --preallocation=MODE  how the data area gets its zeros: falloc reserves\n"
    "                        the space (the default), full writes every zero,\n"
    "                        off leaves a hole that takes no space\n"
    "  --progress            report the work on standard error\n"
    "  --no-clobber          never replace an existing dest\n"
    "  --sync                flush the image to stable storage before exiting\n"
    "  --help                print this help and exit\n"
    "  --version             print the version and exit\n"
    "Exit status: 0 when the image is complete, or intact for --info; 1 on any\n"
    "failure, a line naming it and, with options, a line naming its cause; 2 when\n"
    "--info finds the image damaged, or --to-raw will not copy a damaged one.\n";

// Help and version go to standard output, whose failure (a full disk, a
// closed pipe) is a failure of the run.
int answer(blankimg::run_status status, const char *name) {
  using blankimg::run_status;
  const bool printed =
      (status == run_status::help
           ? std::printf(help_synopsis, name, name, name, name, name, name) >= 0 &&
                 std::fputs(help_text, stdout) >= 0 &&
                 std::printf("Manual: %s\n", blankimg::platform::manual_location) >= 0
           : std::printf("blankimg %s\n", BLANKIMG_VERSION) >= 0) &&
      std::fflush(stdout) == 0;
  if (printed)
    return EXIT_SUCCESS;
  static_cast<void>(std::fputs(blankimg::message_for(run_status::write_error), stderr));
  return EXIT_FAILURE;
}

// The line that names a failure's cause: the program, then the cause's
// text with its subject and detail in place.
void print_cause(const blankimg::failure_reason &why) {
  const char *text = blankimg::cause_text(why.cause);
  static_cast<void>(std::fputs("blankimg: ", stderr));
  for (; *text != '\0'; ++text) {
    const bool subject = text[0] == '%' && text[1] == 's';
    const bool detail = text[0] == '%' && text[1] == 'd';
    if (subject || detail) {
      const char *part = subject ? why.subject : why.detail;
      const std::size_t length = part == nullptr                      ? 0
                                 : subject && why.subject_length != 0 ? why.subject_length
                                                                      : std::strlen(part);
      if (length > 0)
        static_cast<void>(std::fwrite(part, 1, length, stderr));
      ++text;
    } else {
      static_cast<void>(std::fputc(*text, stderr));
    }
  }
  static_cast<void>(std::fputc('\n', stderr));
}

// Prints the failure's one line, and on a command line with options the
// line that names its cause, where one is known; should standard error
// itself fail, the exit status still tells.
int report(blankimg::run_status status, std::span<const char *const> command_line,
           const blankimg::image_plan &plan) {
  using blankimg::run_status;
  const char *name = blankimg::program_name(command_line);
  const bool with_cause = !plan.bare_operands && plan.why.cause != blankimg::failure_cause::none;
  if (with_cause && status == run_status::usage) {
    static_cast<void>(std::fprintf(stderr, usage_format, name));
    print_cause(plan.why);
    return EXIT_FAILURE;
  }
  if (with_cause && blankimg::message_for(status) != nullptr) {
    static_cast<void>(std::fputs(blankimg::message_for(status), stderr));
    print_cause(plan.why);
    return EXIT_FAILURE;
  }
  switch (status) {
  case run_status::ok:
    return EXIT_SUCCESS;
  case run_status::help:
  case run_status::version:
    return answer(status, name);
  case run_status::usage:
    static_cast<void>(std::fprintf(stderr, usage_format, name));
    return EXIT_FAILURE;
  case run_status::damaged:
    return damaged_status;
  default:
    if (const char *message = blankimg::message_for(status); message != nullptr)
      static_cast<void>(std::fputs(message, stderr));
    return EXIT_FAILURE;
  }
}

// --info: the description, and whether the image is intact.
blankimg::run_status describe_image(blankimg::image_plan &plan) {
  using blankimg::run_status;
  blankimg::image_check check{};
  std::uint64_t allocated = 0;
  blankimg::disk_view disk{};
  if (const run_status read = inspect_image(plan.dest, check, allocated, disk);
      read != run_status::ok) {
    if (read == run_status::cant_open_image)
      plan.why = blankimg::system_reason(plan.dest);
    return read;
  }
  if (!print_description(describe_check(plan.dest, check, allocated, disk), plan.options.output))
    return run_status::write_error;
  return finding_count(check.findings) == 0 ? run_status::ok : run_status::damaged;
}

// The moment a formatted disk is made at: SOURCE_DATE_EPOCH where it is
// set to a number of seconds, so that the same command makes the same
// bytes, the clock otherwise.
std::uint64_t moment_made() {
  const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
  std::uint64_t seconds = 0;
  const char *digit = epoch;
  for (; digit != nullptr && *digit >= '0' && *digit <= '9' && seconds < (1ULL << 40); ++digit)
    seconds = seconds * 10 + static_cast<std::uint64_t>(*digit - '0');
  if (epoch == nullptr || digit == epoch || *digit != '\0')
    return blankimg::platform::unix_seconds_now();
  return seconds;
}

// Plans printed, or the image made: from RAW's bytes where raw is given.
blankimg::run_status make_image(blankimg::image_plan &plan,
                                const blankimg::platform::image_source *raw) {
  using namespace blankimg;
  if (plan.options.dry_run) {
    if (!platform::destination_would_open(plan.dest, plan.options.no_clobber)) {
      plan.why = system_reason(plan.dest);
      return run_status::cant_open_dest;
    }
    return print_description(describe_plan(plan), plan.options.output) ? run_status::ok
                                                                       : run_status::write_error;
  }
  if (raw != nullptr && platform::is_same_file(plan.dest, *raw)) {
    plan.why.cause = failure_cause::own_source;  // the copy would wipe it
    return run_status::cant_open_dest;
  }
  // From the open to the close, a stop signal waits for the run to give
  // back what it took; released, it ends the process.
  platform::hold_stop_signals();
  image_file image{};
  if (!open_image(plan, image)) {
    plan.why = system_reason(plan.dest);
    platform::release_stop_signals();
    return run_status::cant_open_dest;
  }
  progress_meter progress =
      start_progress(plan.options.progress, image_end(plan.header.block_count, plan.block_bytes));
  run_status status = write_image(image, plan, progress, raw);
  if (!close_image(image, plan.dest, plan.options.sync && status == run_status::ok) &&
      status == run_status::ok)
    status = run_status::write_error;
  finish_progress(progress, status == run_status::ok);
  platform::release_stop_signals();
  return status;
}

}  // namespace

namespace blankimg {

int run(std::span<const char *const> command_line) {
  if (!platform::prepare_process())
    return EXIT_FAILURE;  // with no standard error to say so on
  image_plan plan{};
  if (const run_status checked = plan_image(command_line, plan, moment_made());
      checked != run_status::ok)
    return report(checked, command_line, plan);
  if (plan.options.info)
    return report(describe_image(plan), command_line, plan);
  if (plan.options.to_raw != nullptr)
    return report(write_raw(plan), command_line, plan);
  if (plan.options.from_raw == nullptr)
    return report(make_image(plan, nullptr), command_line, plan);
  platform::image_source raw{};
  if (const run_status opened = open_raw(plan, raw); opened != run_status::ok)
    return report(opened, command_line, plan);
  const run_status status = make_image(plan, &raw);
  platform::close_source(raw);
  return report(status, command_line, plan);
}

}  // namespace blankimg
