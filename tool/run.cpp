#include "tool/run.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "engine/convert_raw.hpp"
#include "engine/create_image.hpp"
#include "engine/file_jobs.hpp"
#include "engine/inspect_image.hpp"
#include "engine/process.hpp"
#include "tool/command_line.hpp"
#include "tool/describe.hpp"
#include "tool/progress.hpp"

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
    "       %s [--output=json] --info IMAGE\n"
    "       %s [--volume=N] [--force] --add=PATH... | --extract=DIR IMAGE\n"
    "       %s [--volume=N] [--output=json] --list IMAGE\n";

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
    "  --add=PATH            copy PATH into the volume's root as cp -r would (DIR/.:\n"
    "                        DIR's contents), again for more; with a disk to make,\n"
    "                        it is formatted (--fat); else into IMAGE's volume\n"
    "  --extract=DIR         copy every file of IMAGE's volume into DIR\n"
    "  --list                list the files of IMAGE's volume\n"
    "  --volume=N            the Nth volume --info lists (the first FAT one)\n"
    "  --force               replace files that exist, for --add and --extract\n"
    "  --dry-run             print what would be made, and make nothing\n"
    "  --info                describe and check IMAGE\n"
    "  --output=FORMAT       text (the default) or json, for --info, --list and\n"
    "                        --dry-run\n"
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
           ? std::printf(help_synopsis, name, name, name, name, name, name, name, name) >= 0 &&
                 std::fputs(help_text, stdout) >= 0 &&
                 std::printf("Manual: %s\n", blankimg::manual_location) >= 0
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

// The memory every job of a run works in: static, as the stack may be as
// small as 64 KiB; one job a run.
blankimg::job_memory &run_memory() {
  static blankimg::job_memory memory;
  return memory;
}

// --info: the description, and whether the image is intact.
blankimg::run_status describe_image(blankimg::image_plan &plan) {
  using blankimg::run_status;
  blankimg::image_inspection found{};
  if (const run_status read = inspect_image(plan.dest, run_memory(), found, plan.why);
      read != run_status::ok)
    return read;
  if (!print_description(describe_check(plan.dest, found.check, found.allocated, found.disk),
                         plan.options.output))
    return run_status::write_error;
  return finding_count(found.check.findings) + volume_finding_count(found.disk) == 0
             ? run_status::ok
             : run_status::damaged;
}

// --to-raw: the image's disk, unless the image is damaged, which is then
// described as --info describes it.
blankimg::run_status write_raw(blankimg::image_plan &plan) {
  using blankimg::run_status;
  blankimg::progress_meter progress = blankimg::start_progress(plan.options.progress, 0);
  const blankimg::to_raw_request request = {.image = plan.dest,
                                            .raw = plan.options.to_raw,
                                            .mode = plan.options.mode,
                                            .no_clobber = plan.options.no_clobber,
                                            .sync = plan.options.sync,
                                            .progress = hook_of(progress)};
  blankimg::image_inspection found{};
  run_status status = write_raw_disk(request, run_memory(), found, plan.why);
  finish_progress(progress, status == run_status::ok);
  if (status == run_status::damaged &&
      !print_description(describe_check(plan.dest, found.check, found.allocated, found.disk),
                         plan.options.output))
    status = run_status::write_error;
  return status;
}

// --from-raw: RAW opened, and the plan completed from it: the geometry,
// where none was given, from RAW itself; then RAW must fit the disk. On
// failure RAW is closed again.
blankimg::run_status open_raw(blankimg::image_plan &plan, blankimg::raw_disk &raw) {
  using blankimg::run_status;
  run_status status = open_raw_disk(plan.options.from_raw, raw, plan.why);
  if (status != run_status::ok)
    return status;
  const std::uint64_t length = raw.source.size;
  if (plan.geometry_from_raw && length == 0) {
    plan.why = {.cause = blankimg::failure_cause::empty_raw,
                .subject = plan.options.from_raw,
                .subject_length = 0,
                .detail = nullptr};
    status = run_status::invalid_size;
  }
  if (status == run_status::ok && plan.geometry_from_raw)
    status = plan_from_raw(plan, length, geometry_of_raw_disk(raw));
  if (status == run_status::ok && length > disk_bytes(plan.header).value_or(0))
    status = run_status::image_too_large;
  if (status != run_status::ok)
    close_raw_disk(raw);
  return status;
}

// SOURCE_DATE_EPOCH, where it is set to a number of seconds, so that the
// same command makes the same bytes.
std::optional<std::uint64_t> source_date_epoch() {
  const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
  std::uint64_t seconds = 0;
  const char *digit = epoch;
  for (; digit != nullptr && *digit >= '0' && *digit <= '9' && seconds < (1ULL << 40); ++digit)
    seconds = seconds * 10 + static_cast<std::uint64_t>(*digit - '0');
  if (epoch == nullptr || digit == epoch || *digit != '\0')
    return std::nullopt;
  return seconds;
}

// The moment a formatted disk is made at: SOURCE_DATE_EPOCH's, or the
// clock's.
std::uint64_t moment_made() {
  return source_date_epoch().value_or(blankimg::unix_seconds_now());
}

// What a file job says of its failure, for the cause line: kept for the
// run, as the memory is.
blankimg::file_job_report &job_report() {
  static blankimg::file_job_report report;
  return report;
}

blankimg::add_request add_request_of(const blankimg::image_plan &plan) {
  const blankimg::run_options &options = plan.options;
  return {.paths = std::span(options.added).first(options.added_count),
          .force = options.force,
          .latest = source_date_epoch().value_or(UINT64_MAX),
          .plan_only = options.dry_run};
}

bool take_listed(void *context, const blankimg::listed_file &file) {
  return print_listed_file(*static_cast<blankimg::list_printer *>(context), file);
}

// --list, --extract and --add into an image: the job, its failure's cause
// kept in the plan.
blankimg::run_status run_file_job(blankimg::image_plan &plan) {
  using namespace blankimg;
  const run_options &options = plan.options;
  file_job_report &report = job_report();
  run_status status = run_status::ok;
  if (options.list) {
    list_printer printer{.format = options.output, .first = true};
    status = list_files(plan.dest, options.volume, {.take = take_listed, .context = &printer},
                        run_memory(), report);
    if (!finish_file_list(printer) && status == run_status::ok)
      status = run_status::write_error;
  } else if (options.extract != nullptr) {
    status = extract_files(plan.dest, options.volume, options.extract, options.force, run_memory(),
                           report);
  } else {
    add_totals totals{};
    status =
        add_files(plan.dest, options.volume, add_request_of(plan), run_memory(), totals, report);
    if (status == run_status::ok && options.dry_run && !print_added_totals(totals, options.output))
      status = run_status::write_error;
  }
  plan.why = report.why;
  return status;
}

// What the files to add onto the disk a plan makes would take, checked and
// counted with nothing written; the cause of a refusal in the plan.
blankimg::run_status plan_files(blankimg::image_plan &plan, blankimg::add_totals &totals) {
  const blankimg::run_status planned = plan_added_files(
      plan.header, plan.format, add_request_of(plan), run_memory(), totals, job_report());
  plan.why = job_report().why;
  return planned;
}

// Plans printed, or the image made: from RAW's bytes where raw is given.
blankimg::run_status make_image(blankimg::image_plan &plan, const blankimg::raw_disk *raw) {
  using namespace blankimg;
  if (plan.adds_to_new && !takes_files_after(plan.dest)) {
    plan.why = {.cause = failure_cause::files_need_file,
                .subject = plan.dest,
                .subject_length = 0,
                .detail = nullptr};
    return run_status::cant_open_dest;
  }
  if (plan.options.dry_run) {
    if (!destination_would_open(plan.dest, plan.options.no_clobber)) {
      plan.why = system_reason(plan.dest);
      return run_status::cant_open_dest;
    }
    image_description description = describe_plan(plan);
    add_totals totals{};
    if (plan.adds_to_new) {
      if (const run_status planned = plan_files(plan, totals); planned != run_status::ok)
        return planned;
      description.added = &totals;
    }
    return print_description(description, plan.options.output) ? run_status::ok
                                                               : run_status::write_error;
  }
  if (plan.adds_to_new) {
    // Checked first, so that a refusal leaves nothing behind.
    add_totals totals{};
    if (const run_status planned = plan_files(plan, totals); planned != run_status::ok)
      return planned;
  }
  progress_meter progress =
      start_progress(plan.options.progress, image_end(plan.header.block_count, plan.block_bytes));
  const create_request request = {.dest = plan.dest,
                                  .header = plan.header,
                                  .block_bytes = plan.block_bytes,
                                  .mode = plan.options.mode,
                                  .no_clobber = plan.options.no_clobber,
                                  .sync = plan.options.sync,
                                  .format = plan.formatted ? &plan.format : nullptr,
                                  .raw = raw,
                                  .progress = hook_of(progress)};
  run_status status = create_image(request, run_memory(), plan.why);
  finish_progress(progress, status == run_status::ok);
  if (status == run_status::ok && plan.adds_to_new) {
    add_totals totals{};
    status = add_files_to_new(plan.dest, add_request_of(plan), run_memory(), totals, job_report());
    plan.why = job_report().why;
  }
  return status;
}

}  // namespace

namespace blankimg {

int run(std::span<const char *const> command_line) {
  if (!prepare_process())
    return EXIT_FAILURE;  // with no standard error to say so on
  image_plan plan{};
  if (const run_status checked = plan_image(command_line, plan, moment_made());
      checked != run_status::ok)
    return report(checked, command_line, plan);
  if (plan.options.info)
    return report(describe_image(plan), command_line, plan);
  if (plan.options.to_raw != nullptr)
    return report(write_raw(plan), command_line, plan);
  if (plan.options.list || plan.options.extract != nullptr ||
      (plan.options.added_count > 0 && !plan.adds_to_new))
    return report(run_file_job(plan), command_line, plan);
  if (plan.options.from_raw == nullptr)
    return report(make_image(plan, nullptr), command_line, plan);
  raw_disk raw{};
  if (const run_status opened = open_raw(plan, raw); opened != run_status::ok)
    return report(opened, command_line, plan);
  const run_status status = make_image(plan, &raw);
  close_raw_disk(raw);
  return report(status, command_line, plan);
}

}  // namespace blankimg
