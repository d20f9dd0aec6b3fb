#include "engine/file_jobs.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "disk/ascii.hpp"
#include "disk/fat.hpp"
#include "disk/fat_check.hpp"
#include "disk/fat_directory.hpp"
#include "disk/fat_tree.hpp"
#include "disk/volumes.hpp"
#include "engine/copy_engine.hpp"
#include "engine/inspect_image.hpp"
#include "platform/host_files.hpp"
#include "platform/system.hpp"

namespace blankimg {

namespace {

// The names of a tree being added are gathered a directory at a time into
// memory borrowed for the job: never more than this, touched only as far
// as the names go.
constexpr std::uint64_t most_name_memory = std::uint64_t{16} << 20;

constexpr std::uint64_t most_file_size = 0xffffffff;

// Files up to this long are copied out through memory, whole.
constexpr std::uint32_t small_file = 64 * 1024;

// The disk's sectors as an image's map places them, read and, where the
// image is open for it, written.
struct image_disk {
  const platform::image_source *source;
  const image_check *check;
  bool writable;
};

// Where the disk's bytes from at on stand in the file, and how many of
// them follow on there within one block; none outside the blocks the file
// holds.
struct file_span {
  std::uint64_t offset;
  std::uint64_t length;
};
std::optional<file_span> file_span_of(const image_disk &disk, std::uint64_t at) {
  const image_check &check = *disk.check;
  const std::uint64_t block_bytes = check.block_bytes;
  if (block_bytes == 0)
    return std::nullopt;
  const std::uint64_t block = at / block_bytes;
  const std::uint64_t within = at % block_bytes;
  if (check.as_created) {
    if (block >= check.header.block_count)
      return std::nullopt;
    // Laid out as this tool lays it out: one run from the first block on.
    return file_span{.offset = check.data_start + at,
                     .length = check.header.block_count * block_bytes - at};
  }
  map_entry entry = 0;
  if (!read_map_entry(*disk.source, check, block, entry))
    return std::nullopt;
  const std::uint64_t length = entry >> entry_offset_bits;
  if (within >= length)
    return std::nullopt;
  return file_span{.offset = (entry & entry_offset_mask) + within, .length = length - within};
}

template <typename each_span>
bool over_spans(const image_disk &disk, std::uint64_t at, std::uint64_t length, each_span each) {
  while (length > 0) {
    const std::optional<file_span> span = file_span_of(disk, at);
    if (!span)
      return false;
    const std::uint64_t piece = std::min(length, span->length);
    if (!each(span->offset, piece))
      return false;
    at += piece;
    length -= piece;
  }
  return true;
}

bool read_disk(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  const auto &disk = *static_cast<const image_disk *>(context);
  std::size_t done = 0;
  return over_spans(disk, lba * disk.check->header.bytes_per_sector, out.size(),
                    [&](std::uint64_t offset, std::uint64_t piece) {
                      const auto part = out.subspan(done, static_cast<std::size_t>(piece));
                      done += part.size();
                      return platform::read_at(*disk.source, offset, part);
                    });
}

bool write_disk(void *context, std::uint64_t lba, std::span<const std::uint8_t> data) {
  const auto &disk = *static_cast<const image_disk *>(context);
  std::size_t done = 0;
  return disk.writable &&
         over_spans(disk, lba * disk.check->header.bytes_per_sector, data.size(),
                    [&](std::uint64_t offset, std::uint64_t piece) {
                      const auto part = data.subspan(done, static_cast<std::size_t>(piece));
                      done += part.size();
                      return platform::write_at(disk.source->handle, offset, part) == part.size();
                    });
}

// An image open for a file job, its volume open through the cache.
struct volume_job {
  platform::image_source source;
  image_check check;
  disk_view view;
  image_disk disk;
  sector_io io;
  fat_access volume;
  bool opened;
  bool source_in_memory;  // when the files began to be copied out
};

void set_subject(file_job_report &report, std::string_view text) {
  const std::size_t length = std::min(text.size(), report.subject.size() - 1);
  std::copy_n(text.begin(), length, report.subject.begin());
  report.subject[length] = '\0';
  report.why.subject = report.subject.data();
  report.why.subject_length = 0;
}

void set_detail(file_job_report &report, std::uint64_t number) {
  std::array<char, 24> digits{};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  for (std::size_t i = 0; i < count; ++i)
    report.detail[i] = digits[count - 1 - i];
  report.detail[count] = '\0';
  report.why.detail = report.detail.data();
}

// A host call on path failed: the system's words for it, and the path
// kept for the cause line.
run_status host_failure(file_job_report &report, run_status status, std::string_view path) {
  report.why = system_reason(path.data());
  set_subject(report, path);
  return status;
}

run_status refuse(file_job_report &report, run_status status, failure_cause cause,
                  std::string_view subject) {
  report.why = {.cause = cause, .subject = nullptr, .subject_length = 0, .detail = nullptr};
  set_subject(report, subject);
  return status;
}

run_status volume_broken(file_job_report &report, std::string_view path, const char *what) {
  refuse(report, run_status::damaged_volume, failure_cause::volume_damaged,
         path.empty() ? std::string_view("/") : path);
  report.why.detail = what;
  return run_status::damaged_volume;
}

// Opens the image, checks it, and opens the volume asked for in it.
run_status open_volume_job(const char *path, volume_number number, bool for_writing,
                           inspect_depth depth, job_memory &memory, volume_job &job,
                           file_job_report &report) {
  job.opened = false;
  const bool opened = for_writing ? platform::open_for_update(path, job.source)
                                  : platform::open_source(path, job.source, true);
  if (!opened) {
    report.why = system_reason(path);
    return for_writing ? run_status::cant_open_dest : run_status::cant_open_image;
  }
  job.opened = true;
  if (const run_status read = inspect_source(job.source, memory, job.check, job.view, depth);
      read != run_status::ok)
    return read;
  if (finding_count(job.check.findings) != 0)
    return refuse(report, run_status::damaged_volume, failure_cause::image_damaged, path);
  const volume_view *chosen = nullptr;
  for (std::size_t i = 0; i < job.view.volume_count; ++i) {
    const volume_view &candidate = job.view.volumes[i];
    if ((number == 0 && candidate.fat && chosen == nullptr) || number == i + 1)
      chosen = &candidate;
  }
  if (chosen == nullptr || !chosen->fat) {
    refuse(report, run_status::no_fat_volume, failure_cause::no_such_volume, path);
    set_detail(report, number);
    if (number == 0)
      report.why.cause = failure_cause::none;
    return run_status::no_fat_volume;
  }
  job.disk = {.source = &job.source, .check = &job.check, .writable = for_writing};
  job.io = {.context = &job.disk,
            .read = read_disk,
            .write = for_writing ? write_disk : nullptr,
            .bytes_per_sector = job.check.header.bytes_per_sector,
            .sectors = disk_sectors(job.check.header).value_or(0)};
  if (!open_fat_volume(job.io, chosen->start_sector, chosen->sectors, volume_cache(memory),
                       memory.slots, job.volume))
    return volume_broken(report, {}, "its boot sector does not fit the volume");
  // Nothing is added to a volume that is damaged: it would be the worse.
  if (for_writing && chosen->findings.count != 0)
    return refuse(report, run_status::damaged_volume, failure_cause::image_damaged, path);
  return run_status::ok;
}

void close_volume_job(volume_job &job) {
  if (job.opened)
    platform::close_source(job.source);
  job.opened = false;
}

// A bit for each of the volume's clusters, for a walk that enters no
// directory twice; empty where the system has not the memory.
std::span<std::uint8_t> borrow_cluster_map(const fat_access &volume) {
  return platform::borrow_memory(cluster_map_bytes(volume.layout.clusters));
}

// How many clusters the item's chain has, up to what its size needs; none
// where the chain is broken or shorter than its size.
std::optional<std::uint32_t> chain_length(fat_access &volume, const directory_item &item) {
  const bool directory = (item.attributes & directory_attribute) != 0;
  if (item.first_cluster == 0)
    return item.size == 0 && !directory ? std::optional<std::uint32_t>(0) : std::nullopt;
  std::uint32_t count = 0;
  if (!walk_chain(volume, item.first_cluster, volume.layout.clusters,
                  [&count](std::uint32_t, std::uint32_t run) { count += run; }))
    return std::nullopt;
  if (!directory && clusters_for(volume.layout, item.size) > count)
    return std::nullopt;
  return count;
}

run_status walk_failure(tree_step step, const tree_walk &walk, file_job_report &report) {
  if (step == tree_step::failed)
    return run_status::read_error;
  if (step == tree_step::too_deep)
    return refuse(report, run_status::damaged_volume, failure_cause::tree_too_deep,
                  volume_path(walk));
  return volume_broken(report, volume_path(walk), damage_text(walk.damage));
}

// Calls copy(disk file offset, offset in the file, bytes) for each piece of
// the first size bytes of the chain from first, as the image's map places
// its clusters; the first status that is not ok, unmapped where the map
// has no block for a piece, or damaged_volume where the chain ends first.
template <typename copy_piece>
run_status over_chain(volume_job &job, std::uint32_t first, std::uint64_t size, run_status unmapped,
                      copy_piece copy) {
  const fat_layout &layout = job.volume.layout;
  std::uint64_t done = 0;
  run_status status = run_status::ok;
  const bool walked = walk_chain(
      job.volume, first, clusters_for(layout, size), [&](std::uint32_t run, std::uint32_t count) {
        const std::uint64_t length =
            std::min<std::uint64_t>(std::uint64_t{count} * layout.cluster_bytes, size - done);
        if (status != run_status::ok || length == 0)
          return;
        if (!over_spans(job.disk, cluster_lba(layout, run) * layout.bytes_per_sector, length,
                        [&](std::uint64_t offset, std::uint64_t piece) {
                          status = copy(offset, done, piece);
                          done += piece;
                          return status == run_status::ok;
                        }) &&
            status == run_status::ok)
          status = unmapped;
      });
  if (status == run_status::ok && (!walked || done != size))
    status = run_status::damaged_volume;
  return status;
}

// Copies the file's clusters into the host's file.
run_status copy_out(volume_job &job, const directory_item &item, platform::file_handle file,
                    job_memory &memory) {
  output_stream out{.handle = file, .positioned = true, .position = std::nullopt};
  progress_count unshown = start_count(no_progress, 0);
  // A small file is copied whole through memory: asking the image where
  // its holes are would cost more than its bytes, four seeks a file, each
  // a read of the image's extents on a cold cache.
  const copy_mode mode = item.size <= small_file ? copy_mode::every_byte : copy_mode::data_runs;
  copy_engine engine =
      start_copy(job.source, out, mode, unshown, std::span(memory.map), job.source_in_memory);
  const run_status status =
      over_chain(job, item.first_cluster, item.size, run_status::read_error,
                 [&engine](std::uint64_t image_at, std::uint64_t file_at, std::uint64_t length) {
                   // The file's own clusters alone are read ahead.
                   engine.ahead_end = image_at + length;
                   return copy_bytes(engine, image_at, file_at, length);
                 });
  return finish_copy(engine, status);
}

run_status extract_file(volume_job &job, const tree_walk &walk, const directory_item &item,
                        bool force, job_memory &memory, file_job_report &report) {
  const char *path = walk.path.data();
  platform::file_handle file = 0;
  if (!platform::create_host_file(path, force, file)) {
    platform::host_status there{};
    if (!force && platform::look_at(path, there))
      return refuse(report, run_status::cant_extract, failure_cause::file_exists, path);
    return host_failure(report, run_status::cant_extract, path);
  }
  run_status status = item.size > 0 ? copy_out(job, item, file, memory) : run_status::ok;
  if (!platform::finish_host_file(file, item.size) && status == run_status::ok)
    status = run_status::write_error;
  if (status == run_status::damaged_volume)
    return volume_broken(report, volume_path(walk), "a file's chain is shorter than its size");
  if (status == run_status::ok &&
      !platform::set_host_times(path,
                                static_cast<std::int64_t>(unix_seconds_of(item.date, item.time)),
                                (item.attributes & read_only_attribute) != 0))
    status = run_status::write_error;
  if (status != run_status::ok)
    set_subject(report, path);
  return status;
}

// The volume's tree, written out under root.
run_status extract_tree(volume_job &job, std::string_view root, std::span<std::uint8_t> entered,
                        bool force, job_memory &memory, file_job_report &report) {
  tree_walk walk = start_tree_walk(job.volume, root, entered);
  directory_item item{};
  for (;;) {
    const tree_step step = next_in_tree(walk, item);
    if (step == tree_step::end)
      return run_status::ok;
    if (step == tree_step::left_directory) {
      // Its time once all it holds is written, which would change it.
      const tree_frame &left = walk.frames[walk.depth];
      walk.path[left.path_length] = '\0';
      const auto modified = static_cast<std::int64_t>(unix_seconds_of(left.date, left.time));
      if (!platform::set_host_times(walk.path.data(), modified, false))
        return refuse(report, run_status::write_error, failure_cause::none, walk.path.data());
      continue;
    }
    if (step != tree_step::item)
      return walk_failure(step, walk, report);
    // A name that is no FAT name could reach outside the directory.
    if (!is_fat_name(name_of(item)))
      return volume_broken(report, volume_path(walk), "a name FAT cannot hold");
    if ((item.attributes & directory_attribute) == 0) {
      if (const run_status written = extract_file(job, walk, item, force, memory, report);
          written != run_status::ok)
        return written;
    } else if (!platform::make_host_directory(walk.path.data())) {
      return host_failure(report, run_status::cant_extract, walk.path.data());
    }
  }
}

}  // namespace

run_status list_files(const char *image, volume_number volume, list_hook hook, job_memory &memory,
                      file_job_report &report) {
  volume_job job{};
  report.why = no_reason;
  run_status status =
      open_volume_job(image, volume, false, inspect_depth::no_file_systems, memory, job, report);
  const std::span<std::uint8_t> entered =
      status == run_status::ok ? borrow_cluster_map(job.volume) : std::span<std::uint8_t>{};
  if (status == run_status::ok && entered.empty())
    status = run_status::out_of_memory;
  if (status == run_status::ok) {
    tree_walk walk = start_tree_walk(job.volume, {}, entered);
    directory_item item{};
    for (;;) {
      const tree_step step = next_in_tree(walk, item);
      if (step == tree_step::end)
        break;
      if (step == tree_step::left_directory)
        continue;
      if (step != tree_step::item) {
        status = walk_failure(step, walk, report);
        break;
      }
      const std::optional<std::uint32_t> clusters = chain_length(job.volume, item);
      if (!clusters) {
        status = volume_broken(report, volume_path(walk), "a chain is broken or too short");
        break;
      }
      const listed_file file{.path = volume_path(walk),
                             .short_name = {item.short_text.data(), item.short_length},
                             .directory = (item.attributes & directory_attribute) != 0,
                             .attributes = item.attributes,
                             .size = item.size,
                             .date = item.date,
                             .time = item.time,
                             .clusters = *clusters};
      if (!hook.take(hook.context, file)) {
        status = run_status::write_error;
        break;
      }
    }
  }
  platform::give_back_memory(entered);
  close_volume_job(job);
  return status;
}

run_status extract_files(const char *image, volume_number volume, const char *directory, bool force,
                         job_memory &memory, file_job_report &report) {
  volume_job job{};
  report.why = no_reason;
  run_status status =
      open_volume_job(image, volume, false, inspect_depth::no_file_systems, memory, job, report);
  const std::string_view root = directory;
  if (status == run_status::ok && root.size() + 2 > most_path_bytes)
    status = refuse(report, run_status::cant_extract, failure_cause::tree_too_deep, root);
  if (status == run_status::ok && !platform::make_host_directory(directory)) {
    report.why = system_reason(directory);
    status = run_status::cant_extract;
  }
  const std::span<std::uint8_t> entered =
      status == run_status::ok ? borrow_cluster_map(job.volume) : std::span<std::uint8_t>{};
  if (status == run_status::ok && entered.empty())
    status = run_status::out_of_memory;
  job.source_in_memory = status == run_status::ok && platform::is_in_memory(job.source);
  if (status == run_status::ok)
    status = extract_tree(job, root, entered, force, memory, report);
  platform::give_back_memory(entered);
  close_volume_job(job);
  return status;
}

namespace {

// One name of the tree being added: its host path, and where its name
// starts in it.
struct name_record {
  std::uint32_t at;  // into the names' memory
  std::uint16_t length;
  std::uint16_t name_at;
};

// The names of the directories being added, a directory's after its
// parent's: the paths from the bottom up, their records from the top down.
struct name_memory {
  std::span<std::uint8_t> bytes;
  std::size_t paths_end;  // bytes of paths in use
  std::size_t records;    // records in use, from the top
};

std::span<name_record> records_of(name_memory &names, std::size_t from, std::size_t count) {
  auto *const top =
      reinterpret_cast<name_record *>(names.bytes.data() + names.bytes.size());  // NOLINT
  return {top - from - count, count};
}

std::string_view path_of(const name_memory &names, const name_record &record) {
  return {reinterpret_cast<const char *>(names.bytes.data()) + record.at, record.length};  // NOLINT
}

std::string_view name_in(const name_memory &names, const name_record &record) {
  const std::string_view path = path_of(names, record);
  return {path.data() + record.name_at, path.size() - record.name_at};
}

// Adds a path, made of a directory's path and a name, or given whole.
bool push_name(name_memory &names, std::string_view directory, std::string_view name) {
  const bool joined = !directory.empty();
  const bool slash = joined && directory.back() != '/';
  const std::size_t length = directory.size() + (slash ? 1 : 0) + name.size();
  const std::size_t records_bytes = (names.records + 1) * sizeof(name_record);
  if (length > UINT16_MAX - 1 || names.paths_end + length + 1 + records_bytes > names.bytes.size())
    return false;
  char *out = reinterpret_cast<char *>(names.bytes.data()) + names.paths_end;  // NOLINT
  std::ranges::copy(directory, out);
  if (slash)
    out[directory.size()] = '/';
  std::ranges::copy(name, out + length - name.size());
  out[length] = '\0';
  ++names.records;
  records_of(names, names.records - 1, 1)[0] = {
      .at = static_cast<std::uint32_t>(names.paths_end),
      .length = static_cast<std::uint16_t>(length),
      .name_at = static_cast<std::uint16_t>(length - name.size())};
  names.paths_end += length + 1;
  return true;
}

// A directory's names as the host lists them; false where it could not
// be read or the memory is spent (out_of_memory then).
run_status push_directory(name_memory &names, std::string_view path, file_job_report &report) {
  platform::host_directory listing{};
  const char *c_path = path.data();
  if (!platform::open_host_directory(c_path, listing))
    return host_failure(report, run_status::cant_add, path);
  bool failed = false;
  run_status status = run_status::ok;
  while (const char *name = platform::next_host_name(listing, failed)) {
    if (!push_name(names, path, name)) {
      status = run_status::out_of_memory;
      break;
    }
  }
  platform::close_host_directory(listing);
  if (status == run_status::ok && failed)
    status = host_failure(report, run_status::read_error, path);
  return status;
}

// The records sorted as FAT compares names, so that a clash of case stands
// next to its twin and the same tree is added in the same order.
std::string_view clash_in(name_memory &names, std::span<name_record> records) {
  const auto folded_less = [&names](const name_record &a, const name_record &b) {
    const std::string_view x = name_in(names, a);
    const std::string_view y = name_in(names, b);
    const auto fold = [](char c) { return ascii_upper(c); };
    if (std::ranges::lexicographical_compare(x, y, {}, fold, fold))
      return true;
    if (std::ranges::lexicographical_compare(y, x, {}, fold, fold))
      return false;
    return x < y;
  };
  std::sort(records.begin(), records.end(), folded_less);
  for (std::size_t i = 1; i < records.size(); ++i) {
    if (same_fat_name(name_in(names, records[i - 1]), name_in(names, records[i])))
      return path_of(names, records[i]);
  }
  return {};
}

// A directory of the volume that names are being added to.
struct add_frame {
  std::uint32_t directory;  // its first cluster; 0 the root
  bool made;                // made in this run: nothing in it to look up
  directory_end end;        // where its new entries go
  std::uint64_t entries;    // a plan's count of its new entries
  std::size_t first;        // its records
  std::size_t count;
  std::size_t next;
  std::size_t paths_mark;  // the names' memory in use before its own
};

struct add_walk {
  fat_access *volume;
  volume_job *job;  // or none: a plan on a disk yet to be made
  bool writing;
  bool fresh_volume;
  const add_request *request;
  name_memory names;
  std::array<add_frame, most_tree_depth + 1> frames;
  std::size_t depth;
  add_totals *totals;
  job_memory *memory;
  file_job_report *report;
  // Chains of replaced files, freed once their new entries are written.
  std::uint64_t directory_clusters;  // a plan's, for directories made or grown
};

fat_moment moment_of(const add_walk &walk, std::int64_t modified) {
  const std::uint64_t seconds = modified < 0 ? 0 : static_cast<std::uint64_t>(modified);
  return fat_moment_of(std::min({seconds, walk.request->latest, latest_fat_moment}));
}

run_status open_frame(add_walk &walk, std::uint32_t directory, bool made, std::size_t first,
                      std::size_t paths_mark) {
  if (walk.depth > most_tree_depth)
    return run_status::cant_add;
  add_frame &frame = walk.frames[walk.depth++];
  frame = {.directory = directory,
           .made = made,
           .end = {},
           .entries = made ? 2U : 0U,
           .first = first,
           .count = walk.names.records - first,
           .next = 0,
           .paths_mark = paths_mark};
  const std::string_view clash = clash_in(walk.names, records_of(walk.names, first, frame.count));
  if (!clash.empty())
    return refuse(*walk.report, run_status::cant_add, failure_cause::case_clash, clash);
  // A plan's new directory is nowhere yet: nothing to find the end of.
  if ((walk.writing || !made) &&
      !find_directory_end(*walk.volume, directory, walk.fresh_volume, frame.end))
    return volume_broken(*walk.report, {}, "a directory's chain is broken");
  return run_status::ok;
}

// A frame's directory done: for a plan, the clusters it takes or grows by.
run_status close_frame(add_walk &walk) {
  add_frame &frame = walk.frames[--walk.depth];
  walk.names.paths_end = frame.paths_mark;
  walk.names.records = frame.first;
  if (walk.writing)
    return run_status::ok;
  const fat_layout &layout = walk.volume->layout;
  const std::uint64_t per_cluster = layout.cluster_bytes / directory_entry_bytes;
  if (frame.made) {
    walk.directory_clusters += (frame.entries + per_cluster - 1) / per_cluster;
    return run_status::ok;
  }
  const bool root_region = frame.end.cursor.first_cluster == 0 && layout.type != fat_type::fat32;
  const std::uint64_t room = root_region ? layout.root_entries : per_cluster;
  const std::uint64_t left = frame.end.cursor.index < room ? room - frame.end.cursor.index : 0;
  if (frame.entries <= left)
    return run_status::ok;
  if (root_region)
    return refuse(*walk.report, run_status::root_full, failure_cause::none, "/");
  walk.directory_clusters += (frame.entries - left + per_cluster - 1) / per_cluster;
  return run_status::ok;
}

run_status add_result_status(add_walk &walk, add_result result, std::string_view path) {
  switch (result) {
  case add_result::added:
    return run_status::ok;
  case add_result::no_room:
    return refuse(*walk.report, run_status::no_room, failure_cause::none, path);
  case add_result::root_full:
    return refuse(*walk.report, run_status::root_full, failure_cause::none, path);
  case add_result::no_short_name:
  case add_result::invalid_name:
    return refuse(*walk.report, run_status::cant_add, failure_cause::not_fat_name, path);
  case add_result::failed:
    break;
  }
  return run_status::write_error;
}

// The entries of an item copied from the host, at its directory's end: a
// directory's size is 0.
run_status add_entry(add_walk &walk, add_frame &frame, std::string_view path, std::string_view name,
                     std::uint8_t attributes, std::uint32_t first,
                     const platform::host_status &status) {
  const fat_moment moment = moment_of(walk, status.modified);
  const bool directory = status.kind == platform::host_kind::directory;
  const new_item item{.name = name,
                      .attributes = attributes,
                      .first_cluster = first,
                      .size = directory ? 0 : static_cast<std::uint32_t>(status.size),
                      .date = moment.date,
                      .time = moment.time};
  return add_result_status(walk, add_item(*walk.volume, frame.end, item), path);
}

// Copies the host's file into the clusters of its new chain.
run_status copy_in(add_walk &walk, const char *path, std::uint64_t size, std::uint32_t first) {
  volume_job &job = *walk.job;
  platform::image_source source{};
  if (!platform::open_source(path, source))
    return host_failure(*walk.report, run_status::read_error, path);
  output_stream out{.handle = job.source.handle, .positioned = true, .position = std::nullopt};
  progress_count unshown = start_count(no_progress, 0);
  // Clusters that were free may hold old bytes: holes get their zeros
  // written, but where the volume is new.
  const copy_mode mode = walk.fresh_volume ? copy_mode::data_runs : copy_mode::every_byte;
  copy_engine engine = start_copy(source, out, mode, unshown, std::span(walk.memory->map),
                                  platform::is_in_memory(source));
  run_status status = source.size == size ? run_status::ok : run_status::read_error;
  if (status == run_status::ok)
    status =
        over_chain(job, first, size, run_status::write_error,
                   [&engine](std::uint64_t image_at, std::uint64_t file_at, std::uint64_t length) {
                     return copy_bytes(engine, file_at, image_at, length);
                   });
  if (status == run_status::damaged_volume)
    status = run_status::write_error;  // the chain just allocated
  status = finish_copy(engine, status);
  platform::close_source(source);
  if (status == run_status::read_error)
    return refuse(*walk.report, run_status::read_error, failure_cause::file_changed, path);
  return status;
}

run_status add_file(add_walk &walk, add_frame &frame, const name_record &record,
                    const platform::host_status &status, const directory_item *existing) {
  const std::string_view path = path_of(walk.names, record);
  const std::string_view name = name_in(walk.names, record);
  const fat_layout &layout = walk.volume->layout;
  const std::uint64_t clusters = clusters_for(layout, status.size);
  if (!walk.writing) {
    ++walk.totals->files;
    walk.totals->clusters += clusters;
    frame.entries += entries_for(name);
    return run_status::ok;
  }
  const std::uint32_t first =
      clusters == 0 ? 0 : allocate_chain(*walk.volume, static_cast<std::uint32_t>(clusters));
  if (clusters != 0 && first == 0)
    return walk.volume->failed
               ? run_status::write_error
               : refuse(*walk.report, run_status::no_room, failure_cause::none, path);
  if (first != 0) {
    if (const run_status copied = copy_in(walk, path.data(), status.size, first);
        copied != run_status::ok)
      return copied;
  }
  if (existing != nullptr && !delete_item(*walk.volume, *existing))
    return run_status::write_error;
  const auto attributes =
      static_cast<std::uint8_t>(archive_attribute | (status.writable ? 0 : read_only_attribute));
  if (const run_status added = add_entry(walk, frame, path, name, attributes, first, status);
      added != run_status::ok)
    return added;
  if (existing != nullptr && existing->first_cluster != 0) {
    // The old chain goes once the new entry that replaces it is written,
    // so that a run cut short never leaves its entry on freed clusters.
    if (!flush_volume(*walk.volume))
      return run_status::write_error;
    free_chain(*walk.volume, existing->first_cluster);
  }
  return run_status::ok;
}

run_status add_directory(add_walk &walk, add_frame &frame, const name_record &record,
                         const platform::host_status &status, const directory_item *existing) {
  const std::string_view path = path_of(walk.names, record);
  const std::size_t paths_mark = walk.names.paths_end;
  const std::size_t first = walk.names.records;
  if (const run_status listed = push_directory(walk.names, path, *walk.report);
      listed != run_status::ok)
    return listed;
  if (existing != nullptr)
    return open_frame(walk, existing->first_cluster, false, first, paths_mark);
  if (!walk.writing) {
    ++walk.totals->directories;
    frame.entries += entries_for(name_in(walk.names, record));
    return open_frame(walk, 0, true, first, paths_mark);
  }
  const fat_moment moment = moment_of(walk, status.modified);
  const std::uint32_t cluster = make_directory_cluster(*walk.volume, frame.directory, moment.date,
                                                       moment.time, walk.fresh_volume);
  if (cluster == 0)
    return walk.volume->failed
               ? run_status::write_error
               : refuse(*walk.report, run_status::no_room, failure_cause::none, path);
  if (const run_status added = add_entry(walk, frame, path, name_in(walk.names, record),
                                         directory_attribute, cluster, status);
      added != run_status::ok)
    return added;
  return open_frame(walk, cluster, true, first, paths_mark);
}

// One name of a directory being added: checked, then added or planned.
run_status add_name(add_walk &walk, add_frame &frame, const name_record &record) {
  const std::string_view path = path_of(walk.names, record);
  const std::string_view name = name_in(walk.names, record);
  file_job_report &report = *walk.report;
  platform::host_status status{};
  if (!platform::look_at(path.data(), status))
    return host_failure(report, run_status::cant_add, path);
  if (status.kind == platform::host_kind::other)
    return refuse(report, run_status::cant_add, failure_cause::special_file, path);
  if (!is_fat_name(name))
    return refuse(report, run_status::cant_add, failure_cause::not_fat_name, path);
  if (status.kind == platform::host_kind::file && status.size > most_file_size)
    return refuse(report, run_status::cant_add, failure_cause::file_too_large, path);
  const bool directory = status.kind == platform::host_kind::directory;
  if (directory && walk.depth > most_tree_depth)
    return refuse(report, run_status::cant_add, failure_cause::tree_too_deep, path);
  directory_item found{};
  const directory_step step =
      frame.made ? directory_step::end : find_item(*walk.volume, frame.directory, name, found);
  if (step == directory_step::failed || step == directory_step::damaged)
    return step == directory_step::failed
               ? run_status::read_error
               : volume_broken(report, path, "a directory's chain is broken");
  const bool exists = step == directory_step::item;
  const bool found_directory = exists && (found.attributes & directory_attribute) != 0;
  if (exists && (directory != found_directory || (!directory && !walk.request->force)))
    return refuse(report, run_status::cant_add, failure_cause::file_exists, path);
  if (directory)
    return add_directory(walk, frame, record, status, exists ? &found : nullptr);
  return add_file(walk, frame, record, status, exists ? &found : nullptr);
}

// The paths asked for, as the root's names: a path as itself, DIR/. (or
// ".") as DIR's names.
run_status push_requested(add_walk &walk) {
  for (const char *given : walk.request->paths) {
    std::string_view path = given;
    while (path.size() > 1 && path.back() == '/')
      path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos
            ? path
            : std::string_view(path.data() + slash + 1, path.size() - slash - 1);
    if (name == "." || name == "..") {
      if (const run_status listed = push_directory(walk.names, given, *walk.report);
          listed != run_status::ok)
        return listed;
      continue;
    }
    if (!push_name(walk.names, {}, path))
      return run_status::out_of_memory;
    records_of(walk.names, walk.names.records - 1, 1)[0].name_at =
        static_cast<std::uint16_t>(path.size() - name.size());
  }
  return run_status::ok;
}

run_status walk_added_tree(add_walk &walk) {
  walk.depth = 0;
  walk.names.paths_end = 0;
  walk.names.records = 0;
  if (const run_status pushed = push_requested(walk); pushed != run_status::ok)
    return pushed;
  // The root is made in this run where the volume is new: nothing to find.
  if (const run_status opened = open_frame(walk, 0, false, 0, 0); opened != run_status::ok)
    return opened;
  while (walk.depth > 0) {
    add_frame &frame = walk.frames[walk.depth - 1];
    if (frame.next == frame.count) {
      if (const run_status closed = close_frame(walk); closed != run_status::ok)
        return closed;
      continue;
    }
    const name_record record = records_of(walk.names, frame.first, frame.count)[frame.next++];
    if (platform::stop_signal_waiting())
      return run_status::interrupted;
    if (const run_status added = add_name(walk, frame, record); added != run_status::ok)
      return added;
  }
  return run_status::ok;
}

// Plans the request on the volume, then, where it fits and a job is
// given, writes it.
run_status add_to_volume(fat_access &volume, volume_job *job, bool fresh_volume,
                         const add_request &request, job_memory &memory, add_totals &totals,
                         file_job_report &report) {
  const std::span<std::uint8_t> names = platform::borrow_memory(most_name_memory);
  if (names.empty())
    return run_status::out_of_memory;
  add_walk walk{};
  walk = {.volume = &volume,
          .job = job,
          .writing = false,
          .fresh_volume = fresh_volume,
          .request = &request,
          .names = {.bytes = names, .paths_end = 0, .records = 0},
          .frames = {},
          .depth = 0,
          .totals = &totals,
          .memory = &memory,
          .report = &report,
          .directory_clusters = 0};
  totals = {.files = 0,
            .directories = 0,
            .clusters = 0,
            .cluster_bytes = volume.layout.cluster_bytes,
            .free_clusters = volume.free_count};
  run_status status = walk_added_tree(walk);
  totals.clusters += walk.directory_clusters;
  if (status == run_status::ok && totals.clusters > volume.free_count) {
    status = refuse(report, run_status::no_room, failure_cause::more_room, "");
    set_detail(report, (totals.clusters - volume.free_count) * volume.layout.cluster_bytes);
  }
  if (status == run_status::ok && job != nullptr && !request.plan_only) {
    walk.writing = true;
    platform::hold_stop_signals();
    status = walk_added_tree(walk);
    if (!flush_volume(volume) && status == run_status::ok)
      status = run_status::write_error;
    platform::release_stop_signals();
  }
  platform::give_back_memory(names);
  return status;
}

run_status add_to_image(const char *image, volume_number number, bool fresh_volume,
                        const add_request &request, job_memory &memory, add_totals &totals,
                        file_job_report &report) {
  volume_job job{};
  report.why = no_reason;
  run_status status = open_volume_job(
      image, number, true, fresh_volume ? inspect_depth::just_made : inspect_depth::everything,
      memory, job, report);
  if (status == run_status::ok)
    status = add_to_volume(job.volume, &job, fresh_volume, request, memory, totals, report);
  close_volume_job(job);
  return status;
}

// A disk yet to be made, as its format renders it: every other sector zero.
struct planned_disk {
  const disk_format *format;
  std::uint32_t bytes_per_sector;
};

bool read_planned(void *context, std::uint64_t lba, std::span<std::uint8_t> out) {
  const auto &disk = *static_cast<const planned_disk *>(context);
  std::ranges::fill(out, std::uint8_t{0});
  for (std::size_t at = 0; at < out.size(); at += disk.bytes_per_sector)
    render_format_sector(*disk.format, lba + at / disk.bytes_per_sector,
                         out.subspan(at, disk.bytes_per_sector));
  return true;
}

}  // namespace

run_status add_files(const char *image, volume_number volume, const add_request &request,
                     job_memory &memory, add_totals &totals, file_job_report &report) {
  return add_to_image(image, volume, false, request, memory, totals, report);
}

run_status add_files_to_new(const char *image, const add_request &request, job_memory &memory,
                            add_totals &totals, file_job_report &report) {
  return add_to_image(image, 0, true, request, memory, totals, report);
}

bool takes_files_after(const char *dest) {
  platform::host_status status{};
  return !platform::look_at(dest, status) || status.kind == platform::host_kind::file;
}

run_status plan_added_files(const image_header &header, const disk_format &format,
                            const add_request &request, job_memory &memory, add_totals &totals,
                            file_job_report &report) {
  report.why = no_reason;
  planned_disk disk{.format = &format, .bytes_per_sector = header.bytes_per_sector};
  const sector_io io{.context = &disk,
                     .read = read_planned,
                     .write = nullptr,
                     .bytes_per_sector = header.bytes_per_sector,
                     .sectors = disk_sectors(header).value_or(0)};
  fat_access volume{};
  if (!open_fat_volume(io, format.volume_start, format.volume.sectors, volume_cache(memory),
                       memory.slots, volume))
    return run_status::no_fat_volume;
  return add_to_volume(volume, nullptr, true, request, memory, totals, report);
}

}  // namespace blankimg
