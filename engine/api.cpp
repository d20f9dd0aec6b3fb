// The C face of the jobs: each call maps its request one to one onto a
// job's, and the job's outcome onto an error code.
#include "blankimg/blankimg.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disk/geometry.hpp"
#include "engine/convert_raw.hpp"
#include "engine/create_image.hpp"
#include "engine/file_jobs.hpp"
#include "engine/inspect_image.hpp"
#include "engine/plan_disk.hpp"

namespace blankimg {

namespace {

blankimg_error error_of(run_status status) {
  switch (status) {
  case run_status::ok:
    return BLANKIMG_OK;
  case run_status::invalid_blocksize:
    return BLANKIMG_ERROR_BLOCKSIZE;
  case run_status::invalid_geometry:
    return BLANKIMG_ERROR_GEOMETRY;
  case run_status::invalid_size:
    return BLANKIMG_ERROR_SIZE;
  case run_status::image_too_large:
    return BLANKIMG_ERROR_TOO_LARGE;
  case run_status::invalid_label:
    return BLANKIMG_ERROR_LABEL;
  case run_status::fat_does_not_fit:
    return BLANKIMG_ERROR_FAT_DOES_NOT_FIT;
  case run_status::cant_open_dest:
    return BLANKIMG_ERROR_OPEN_DEST;
  case run_status::cant_open_raw:
    return BLANKIMG_ERROR_OPEN_RAW;
  case run_status::write_error:
    return BLANKIMG_ERROR_WRITE;
  case run_status::cant_open_image:
    return BLANKIMG_ERROR_OPEN_IMAGE;
  case run_status::not_an_image:
    return BLANKIMG_ERROR_NOT_AN_IMAGE;
  case run_status::read_error:
    return BLANKIMG_ERROR_READ;
  case run_status::out_of_memory:
    return BLANKIMG_ERROR_OUT_OF_MEMORY;
  case run_status::damaged:
    return BLANKIMG_ERROR_DAMAGED;
  case run_status::interrupted:
    return BLANKIMG_ERROR_INTERRUPTED;
  case run_status::no_fat_volume:
    return BLANKIMG_ERROR_NO_FAT_VOLUME;
  case run_status::damaged_volume:
    return BLANKIMG_ERROR_DAMAGED_VOLUME;
  case run_status::cant_add:
    return BLANKIMG_ERROR_CANT_ADD;
  case run_status::no_room:
    return BLANKIMG_ERROR_NO_ROOM;
  case run_status::root_full:
    return BLANKIMG_ERROR_ROOT_FULL;
  case run_status::cant_extract:
    return BLANKIMG_ERROR_CANT_EXTRACT;
  case run_status::help:
  case run_status::version:
  case run_status::usage:
    break;
  }
  return BLANKIMG_ERROR_ARGUMENT;
}

// The caller's memory as a job's: its buffers are bytes, so any alignment
// serves.
job_memory *memory_of(void *work, std::size_t work_size) {
  if (work == nullptr || work_size < sizeof(job_memory))
    return nullptr;
  return static_cast<job_memory *>(work);
}

// The caller's progress callbacks, through the jobs' hook.
progress_hook hook_of(const blankimg_progress &progress) {
  if (progress.report == nullptr && progress.finish == nullptr)
    return no_progress;
  return {.report =
              [](void *context, std::uint64_t done, std::uint64_t total) {
                const auto &caller = *static_cast<const blankimg_progress *>(context);
                if (caller.report != nullptr)
                  caller.report(caller.context, done, total);
              },
          .finish =
              [](void *context, bool complete) {
                const auto &caller = *static_cast<const blankimg_progress *>(context);
                if (caller.finish != nullptr)
                  caller.finish(caller.context, complete ? 1 : 0);
              },
          .context = const_cast<blankimg_progress *>(&progress)};  // NOLINT: read only
}

bool valid_blocksize(std::uint32_t blocksize) {
  return blocksize > 0 && blocksize <= max_blocksize;
}

run_status plan_floppy(const blankimg_create_request &request, disk_plan &plan) {
  const floppy_format *floppy = find_floppy(request.floppy);
  if (floppy == nullptr)
    return run_status::invalid_size;
  const std::uint32_t blocksize = request.blocksize != 0 ? request.blocksize : floppy->sectors;
  return !valid_blocksize(blocksize) ? run_status::invalid_blocksize
                                     : plan_layout(blocksize, floppy->cylinders, floppy->heads,
                                                   floppy->sectors, floppy_sector_size, plan);
}

run_status plan_sized(const blankimg_create_request &request, disk_plan &plan) {
  const std::uint32_t sector_size =
      request.sector_size != 0 ? request.sector_size : default_sector_size;
  const std::uint32_t blocksize = request.blocksize != 0 ? request.blocksize : size_sectors;
  if (!valid_blocksize(blocksize))
    return run_status::invalid_blocksize;
  if (!is_sector_size(sector_size))
    return run_status::invalid_geometry;
  return plan_layout(blocksize, cylinders_for_size(request.size, sector_size), size_heads,
                     size_sectors, sector_size, plan);
}

run_status plan_given(const blankimg_create_request &request, disk_plan &plan) {
  const blankimg_geometry &given = request.geometry;
  const std::uint32_t blocksize =
      request.blocksize != 0 ? request.blocksize : given.sectors_per_track;
  if (given.cylinders == 0 || given.heads == 0 || given.sectors_per_track == 0 ||
      given.bytes_per_sector == 0 || given.bytes_per_sector > max_entry_length)
    return run_status::invalid_geometry;
  return !valid_blocksize(blocksize)
             ? run_status::invalid_blocksize
             : plan_layout(blocksize, given.cylinders, given.heads, given.sectors_per_track,
                           given.bytes_per_sector, plan);
}

run_status plan_from_raw(const blankimg_create_request &request, const raw_disk &raw,
                         disk_plan &plan) {
  if (raw.source.size == 0)
    return run_status::invalid_size;  // no disk holds nothing
  const raw_geometry geometry = geometry_of_raw_disk(raw);
  const std::uint32_t blocksize = request.blocksize != 0 ? request.blocksize : geometry.sectors;
  return !valid_blocksize(blocksize) ? run_status::invalid_blocksize
                                     : plan_layout(blocksize, geometry.cylinders, geometry.heads,
                                                   geometry.sectors, default_sector_size, plan);
}

// The disk's layout, from the first of the ways of giving it that the
// request uses: floppy, size, geometry, or the raw disk's own.
run_status plan_disk(const blankimg_create_request &request, const raw_disk *raw, disk_plan &plan) {
  const blankimg_geometry &given = request.geometry;
  if (request.floppy != nullptr)
    return plan_floppy(request, plan);
  if (request.size != 0)
    return plan_sized(request, plan);
  if (given.cylinders != 0 || given.heads != 0 || given.sectors_per_track != 0 || raw == nullptr)
    return plan_given(request, plan);
  return plan_from_raw(request, *raw, plan);
}

bool read_choices(const blankimg_create_request &request, preallocation &mode,
                  format_choice &format, bool &formatted) {
  switch (request.preallocation) {
  case BLANKIMG_PREALLOCATION_FALLOC:
    mode = preallocation::falloc;
    break;
  case BLANKIMG_PREALLOCATION_OFF:
    mode = preallocation::off;
    break;
  case BLANKIMG_PREALLOCATION_FULL:
    mode = preallocation::full;
    break;
  default:
    return false;
  }
  constexpr std::array<std::pair<blankimg_fat, fat_request>, 4> types = {{
      {BLANKIMG_FAT_BY_SIZE, fat_request::by_size},
      {BLANKIMG_FAT_12, fat_request::fat12},
      {BLANKIMG_FAT_16, fat_request::fat16},
      {BLANKIMG_FAT_32, fat_request::fat32},
  }};
  formatted = request.fat != BLANKIMG_FAT_NONE;
  const auto *type =
      std::ranges::find(types, request.fat, &std::pair<blankimg_fat, fat_request>::first);
  if (formatted && type == types.end())
    return false;
  constexpr std::array<partition_scheme, 3> schemes = {
      partition_scheme::as_the_disk_has, partition_scheme::mbr, partition_scheme::none};
  if (request.partitioning < 0 || static_cast<std::size_t>(request.partitioning) >= schemes.size())
    return false;
  format = {.type = formatted ? type->second : fat_request::by_size,
            .partitions = schemes[static_cast<std::size_t>(request.partitioning)],
            .label = request.label,
            .floppy = request.floppy != nullptr ? find_floppy(request.floppy) : nullptr,
            .made_at = request.made_at};
  return true;
}

blankimg_volume volume_of(const volume_view &view) {
  blankimg_volume volume{};
  volume.start_sector = view.start_sector;
  volume.sectors = view.sectors;
  volume.in_partition_table = view.partition ? 1 : 0;
  volume.type = view.type;
  volume.active = view.active ? 1 : 0;
  volume.contiguous = view.contiguous ? 1 : 0;
  volume.offset = view.offset;
  if (view.fat) {
    volume.fat = view.file_system == fat_type::fat12   ? 12
                 : view.file_system == fat_type::fat16 ? 16
                                                       : 32;
    // The label without the spaces FAT pads it with.
    std::size_t length = view.label.size();
    while (length > 0 && view.label[length - 1] == ' ')
      --length;
    std::copy_n(view.label.begin(), length, std::begin(volume.label));
  }
  return volume;
}

void fill_info(const image_inspection &found, blankimg_info &info) {
  const image_header &header = found.check.header;
  info = blankimg_info{};
  info.geometry = {.cylinders = header.cylinders,
                   .heads = header.heads,
                   .sectors_per_track = header.sectors,
                   .bytes_per_sector = header.bytes_per_sector};
  info.blocksize = header.blocksize;
  info.block_count = header.block_count;
  info.file_size = found.check.file_size;
  info.disk_usage = found.allocated;
  info.data_offset = found.disk.data_offset;
  info.as_created = found.check.as_created ? 1 : 0;
  const image_findings &findings = found.check.findings;
  info.finding_count = finding_count(findings);
  info.listed_findings = std::min<std::size_t>(findings.listed_count, BLANKIMG_MAX_FINDINGS);
  for (std::size_t i = 0; i < info.listed_findings; ++i) {
    const finding &listed = findings.listed[i];
    info.findings[i] = {.kind = static_cast<blankimg_finding_kind>(listed.kind),
                        .block = listed.block,
                        .other = listed.other};
  }
  info.volume_count = std::min<std::size_t>(found.disk.volume_count, BLANKIMG_MAX_VOLUMES);
  for (std::size_t i = 0; i < info.volume_count; ++i)
    info.volumes[i] = volume_of(found.disk.volumes[i]);
}

// The finding kinds stand in the header in the order the checks have them.
static_assert(static_cast<int>(finding_kind::entry_overlaps) == BLANKIMG_FINDING_ENTRY_OVERLAPS);
static_assert(static_cast<int>(finding_kind::entry_in_layout) == BLANKIMG_FINDING_ENTRY_IN_LAYOUT);

}  // namespace

}  // namespace blankimg

using namespace blankimg;

extern "C" {

size_t blankimg_work_size(void) {
  return sizeof(job_memory);
}

blankimg_error blankimg_create(const blankimg_create_request *request, void *work,
                               size_t work_size) {
  preallocation mode = preallocation::falloc;
  format_choice choice{};
  bool formatted = false;
  if (request == nullptr || request->path == nullptr ||
      !read_choices(*request, mode, choice, formatted))
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  failure_reason why = no_reason;
  raw_disk raw{};
  const bool copies = request->from_raw != nullptr;
  if (copies) {
    if (const run_status opened = open_raw_disk(request->from_raw, raw, why);
        opened != run_status::ok)
      return error_of(opened);
  }
  disk_plan plan{};
  run_status status = plan_disk(*request, copies ? &raw : nullptr, plan);
  if (status == run_status::ok && copies && raw.source.size > disk_bytes(plan.header).value_or(0))
    status = run_status::image_too_large;
  if (status == run_status::ok && formatted)
    status = plan_disk_format(choice, plan, why);
  if (status == run_status::ok) {
    const create_request job = {.dest = request->path,
                                .header = plan.header,
                                .block_bytes = plan.block_bytes,
                                .mode = mode,
                                .no_clobber = request->no_clobber != 0,
                                .sync = request->sync != 0,
                                .format = plan.formatted ? &plan.format : nullptr,
                                .raw = copies ? &raw : nullptr,
                                .progress = hook_of(request->progress)};
    status = create_image(job, *memory, why);
  }
  if (copies)
    close_raw_disk(raw);
  return error_of(status);
}

blankimg_error blankimg_inspect(const char *path, blankimg_info *info, void *work,
                                size_t work_size) {
  if (path == nullptr || info == nullptr)
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  image_inspection found{};
  failure_reason why = no_reason;
  const run_status status = inspect_image(path, *memory, found, why);
  if (status != run_status::ok)
    return error_of(status);
  fill_info(found, *info);
  return info->finding_count == 0 ? BLANKIMG_OK : BLANKIMG_ERROR_DAMAGED;
}

blankimg_error blankimg_add_files(const blankimg_add_request *request, void *work,
                                  size_t work_size) {
  if (request == nullptr || request->image == nullptr ||
      (request->paths == nullptr && request->path_count > 0))
    return BLANKIMG_ERROR_ARGUMENT;
  const std::span<const char *const> paths(request->paths, request->path_count);
  if (std::ranges::any_of(paths, [](const char *path) { return path == nullptr; }))
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  const add_request job{.paths = paths,
                        .force = request->force != 0,
                        .latest = request->latest != 0 ? request->latest : UINT64_MAX,
                        .plan_only = false};
  add_totals totals{};
  file_job_report report{};
  return error_of(add_files(request->image, request->volume, job, *memory, totals, report));
}

blankimg_error blankimg_extract_files(const char *image, unsigned volume, const char *directory,
                                      int force, void *work, size_t work_size) {
  if (image == nullptr || directory == nullptr)
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  file_job_report report{};
  return error_of(extract_files(image, volume, directory, force != 0, *memory, report));
}

blankimg_error blankimg_list_files(const char *image, unsigned volume,
                                   int (*take)(void *context, const blankimg_file *file),
                                   void *context, void *work, size_t work_size) {
  if (image == nullptr || take == nullptr)
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  struct caller {
    int (*take)(void *context, const blankimg_file *file);
    void *context;
  } called{.take = take, .context = context};
  const auto give = [](void *hook_context, const listed_file &file) {
    const auto &to = *static_cast<const caller *>(hook_context);
    // The strings end where their views do: a path and a short name are
    // copied to end with a NUL.
    std::array<char, most_path_bytes + 1> path{};
    std::array<char, 16> short_name{};
    std::copy_n(file.path.begin(), std::min(file.path.size(), most_path_bytes), path.begin());
    std::copy_n(file.short_name.begin(), std::min(file.short_name.size(), short_name.size() - 1),
                short_name.begin());
    const blankimg_file given{.path = path.data(),
                              .short_name = short_name.data(),
                              .directory = file.directory ? 1 : 0,
                              .attributes = file.attributes,
                              .size = file.size,
                              .fat_date = file.date,
                              .fat_time = file.time,
                              .clusters = file.clusters};
    return to.take(to.context, &given) != 0;
  };
  file_job_report report{};
  const run_status status =
      list_files(image, volume, {.take = give, .context = &called}, *memory, report);
  // The caller's stop is no failure of the job.
  return status == run_status::write_error ? BLANKIMG_OK : error_of(status);
}

blankimg_error blankimg_to_raw(const blankimg_to_raw_request *request, void *work,
                               size_t work_size) {
  if (request == nullptr || request->image == nullptr || request->raw == nullptr)
    return BLANKIMG_ERROR_ARGUMENT;
  constexpr std::array<preallocation, 3> modes = {preallocation::falloc, preallocation::off,
                                                  preallocation::full};
  if (request->preallocation < 0 ||
      static_cast<std::size_t>(request->preallocation) >= modes.size())
    return BLANKIMG_ERROR_ARGUMENT;
  job_memory *memory = memory_of(work, work_size);
  if (memory == nullptr)
    return BLANKIMG_ERROR_WORK_TOO_SMALL;
  const to_raw_request job = {.image = request->image,
                              .raw = request->raw,
                              .mode = modes[static_cast<std::size_t>(request->preallocation)],
                              .no_clobber = request->no_clobber != 0,
                              .sync = request->sync != 0,
                              .progress = hook_of(request->progress)};
  image_inspection found{};
  failure_reason why = no_reason;
  return error_of(write_raw_disk(job, *memory, found, why));
}

const char *blankimg_strerror(blankimg_error error) {
  switch (error) {
  case BLANKIMG_OK:
    return "success";
  case BLANKIMG_ERROR_ARGUMENT:
    return "invalid request";
  case BLANKIMG_ERROR_WORK_TOO_SMALL:
    return "working memory smaller than blankimg_work_size()";
  case BLANKIMG_ERROR_BLOCKSIZE:
    return "invalid blocksize";
  case BLANKIMG_ERROR_GEOMETRY:
    return "invalid geometry";
  case BLANKIMG_ERROR_SIZE:
    return "invalid size";
  case BLANKIMG_ERROR_TOO_LARGE:
    return "image too large";
  case BLANKIMG_ERROR_LABEL:
    return "invalid label";
  case BLANKIMG_ERROR_FAT_DOES_NOT_FIT:
    return "fat type does not fit the volume";
  case BLANKIMG_ERROR_OPEN_DEST:
    return "can't open dest";
  case BLANKIMG_ERROR_OPEN_RAW:
    return "can't open raw";
  case BLANKIMG_ERROR_WRITE:
    return "write error";
  case BLANKIMG_ERROR_OPEN_IMAGE:
    return "can't open image";
  case BLANKIMG_ERROR_NOT_AN_IMAGE:
    return "not an image";
  case BLANKIMG_ERROR_READ:
    return "read error";
  case BLANKIMG_ERROR_OUT_OF_MEMORY:
    return "out of memory";
  case BLANKIMG_ERROR_DAMAGED:
    return "the image is damaged";
  case BLANKIMG_ERROR_INTERRUPTED:
    return "interrupted by a signal";
  case BLANKIMG_ERROR_NO_FAT_VOLUME:
    return "no FAT volume";
  case BLANKIMG_ERROR_DAMAGED_VOLUME:
    return "the volume is damaged";
  case BLANKIMG_ERROR_CANT_ADD:
    return "a file could not be added";
  case BLANKIMG_ERROR_NO_ROOM:
    return "no room on the volume";
  case BLANKIMG_ERROR_ROOT_FULL:
    return "the root directory is full";
  case BLANKIMG_ERROR_CANT_EXTRACT:
    return "a file could not be extracted";
  }
  return "unknown error";
}

const char *blankimg_version(void) {
  return BLANKIMG_VERSION_STRING;
}

}  // extern "C"
