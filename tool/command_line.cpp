#include "tool/command_line.hpp"

#include "disk/ascii.hpp"
#include "disk/geometry.hpp"
#include "engine/plan_disk.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

namespace blankimg {

namespace {

// The values atoi can name, seen as unsigned: -2147483648 upwards, and the
// rest of the unsigned 32-bit range.
constexpr std::uint64_t max_negative_magnitude = std::uint64_t{1} << 31;
constexpr std::uint64_t max_positive_value = std::numeric_limits<std::uint32_t>::max();

constexpr bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

struct mode_name {
  std::string_view name;
  preallocation mode;
};
constexpr std::array<mode_name, 3> mode_names = {{
    {"off", preallocation::off},
    {"falloc", preallocation::falloc},
    {"full", preallocation::full},
}};

struct flag_name {
  std::string_view name;
  bool run_options::*flag;
};
constexpr std::array<flag_name, 10> flag_names = {{
    {"--fat", &run_options::fat},
    {"--list", &run_options::list},
    {"--force", &run_options::force},
    {"--help", &run_options::help},
    {"--version", &run_options::version},
    {"--progress", &run_options::progress},
    {"--no-clobber", &run_options::no_clobber},
    {"--sync", &run_options::sync},
    {"--dry-run", &run_options::dry_run},
    {"--info", &run_options::info},
}};

// Options with a value, as --name=VALUE or --name VALUE. Most keep the
// value as given, to be read in the order of the checks; the rest are read
// at once, and a bad value is a usage error.
struct value_name {
  std::string_view name;
  const char *run_options::*text;  // nullptr: read at once
};
constexpr std::array<value_name, 14> value_names = {{
    {"--add", nullptr},
    {"--extract", &run_options::extract},
    {"--volume", nullptr},
    {"--from-raw", &run_options::from_raw},
    {"--to-raw", &run_options::to_raw},
    {"--fat", nullptr},
    {"--partition", nullptr},
    {"--label", &run_options::label},
    {"--preallocation", nullptr},
    {"--output", nullptr},
    {"--size", &run_options::size},
    {"--floppy", &run_options::floppy},
    {"--blocksize", &run_options::blocksize},
    {"--sector-size", &run_options::sector_size},
}};

// A count given with an option: decimal digits and nothing else, read
// strictly as --size is; the six operands keep the atoi rules.
std::optional<std::uint32_t> read_count(const char *text) {
  std::uint64_t value = 0;
  const char *digit = text;
  for (; is_digit(*digit); ++digit) {
    value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
    if (value > std::numeric_limits<std::uint32_t>::max())
      return std::nullopt;
  }
  if (digit == text || *digit != '\0')
    return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// Begins with "--". Not string_view::starts_with: unoptimised, its range
// check brings the C++ library's throw, and the library, into the binary.
constexpr bool is_option(std::string_view argument) {
  return argument.size() >= 2 && argument[0] == '-' && argument[1] == '-';
}

// Sets the flag argument names; false when it names none.
bool read_flag(std::string_view argument, run_options &options) {
  const auto *const known = std::ranges::find(flag_names, argument, &flag_name::name);
  if (known == flag_names.end())
    return false;
  options.*(known->flag) = true;
  return true;
}

bool read_value(const value_name &option, const char *value, run_options &options) {
  if (option.text != nullptr) {
    options.*(option.text) = value;
    return true;
  }
  if (option.name == "--add") {
    // Counted past the room, to be refused with the usage.
    if (options.added_count < options.added.size())
      options.added[options.added_count] = value;
    ++options.added_count;
    return *value != '\0';
  }
  if (option.name == "--volume") {
    const std::optional<std::uint32_t> number = read_count(value);
    options.volume = number.value_or(0);
    options.volume_given = true;
    return options.volume > 0;
  }
  if (option.name == "--fat") {
    const std::string_view type = value;
    options.fat = true;
    options.fat_type = type == "12"   ? fat_request::fat12
                       : type == "16" ? fat_request::fat16
                                      : fat_request::fat32;
    return type == "12" || type == "16" || type == "32";
  }
  if (option.name == "--partition") {
    const std::string_view scheme = value;
    options.partitions_given = true;
    options.partitions = scheme == "none" ? partition_scheme::none : partition_scheme::mbr;
    return scheme == "mbr" || scheme == "none";
  }
  if (option.name == "--output") {
    const std::string_view format = value;
    options.output_given = true;
    options.output = format == "json" ? output_format::json : output_format::text;
    return format == "json" || format == "text";
  }
  const std::optional<preallocation> mode = read_preallocation(value);
  options.mode = mode.value_or(options.mode);
  options.mode_given = true;
  return mode.has_value();
}

// Exactly one of the tool's own options: a flag, or a value option with
// its value after "=".
bool names_option(std::string_view argument) {
  if (std::ranges::find(flag_names, argument, &flag_name::name) != flag_names.end())
    return true;
  const std::size_t equals = argument.find('=');
  return equals != std::string_view::npos &&
         std::ranges::find(value_names, std::string_view(argument.data(), equals),
                           &value_name::name) != value_names.end();
}

// Six arguments are the six operands, as they have always been, unless one
// in front of a lone "--" is exactly an option of the tool's.
bool six_operands(std::span<const char *const> arguments) {
  if (arguments.size() != argument_count)
    return false;
  for (const std::string_view argument : arguments) {
    if (argument == "--")
      return true;
    if (names_option(argument))
      return false;
  }
  return true;
}

// The operands, gathered from among the options: never more are needed
// than the six.
struct operand_list {
  std::array<const char *, argument_count> names;
  std::size_t count;  // past the list's room where there were more
};

// Reads the options, wherever they stand before a lone "--", into options,
// and the other arguments into operands, as GNU tools take them. False for
// an option that is unknown, lacks its value or has one it cannot have,
// with why.
bool read_options(std::span<const char *const> command_line, run_options &options,
                  operand_list &operands, failure_reason &why) {
  const auto add_operand = [&operands](const char *operand) {
    if (operands.count < operands.names.size())
      operands.names.at(operands.count) = operand;
    ++operands.count;
  };
  for (std::size_t at = 1; at < command_line.size(); ++at) {
    const std::string_view argument = command_line[at];
    if (argument == "--") {
      for (const char *operand : command_line.subspan(at + 1))
        add_operand(operand);
      break;
    }
    if (!is_option(argument)) {
      add_operand(command_line[at]);
      continue;
    }
    if (read_flag(argument, options))
      continue;
    const std::size_t equals = std::min(argument.find('='), argument.size());
    const auto *const option = std::ranges::find(
        value_names, std::string_view(argument.data(), equals), &value_name::name);
    if (option == value_names.end()) {
      why = {.cause = failure_cause::unknown_option,
             .subject = command_line[at],
             .subject_length = equals,
             .detail = nullptr};
      return false;
    }
    const char *value = nullptr;
    if (equals != argument.size())
      value = command_line[at] + equals + 1;
    else if (at + 1 < command_line.size())
      value = command_line[++at];
    if (value == nullptr) {
      why = {.cause = failure_cause::option_needs_value,
             .subject = command_line[at],
             .subject_length = 0,
             .detail = nullptr};
      return false;
    }
    if (!read_value(*option, value, options)) {
      why = {.cause = failure_cause::invalid_value,
             .subject = option->name.data(),
             .subject_length = option->name.size(),
             .detail = value};
      return false;
    }
  }
  return true;
}

// --from-raw and --to-raw: no file system made on a raw disk; out, from one
// image that exists, with nothing about a new disk; in, with the disk given
// or found in RAW. None where neither is asked for, or the disk is given
// as usual.
std::optional<failure_cause> raw_usage_fits(const run_options &options, std::size_t operands,
                                            bool by_size) {
  if (options.from_raw == nullptr && options.to_raw == nullptr)
    return std::nullopt;
  if (options.fat || options.info || (options.from_raw != nullptr && options.to_raw != nullptr))
    return failure_cause::raw_alone;
  if (options.to_raw != nullptr) {
    if (operands != 1)
      return failure_cause::wrong_operands;
    return !by_size && options.blocksize == nullptr && options.sector_size == nullptr &&
                   !options.dry_run && !options.output_given
               ? failure_cause::none
               : failure_cause::raw_alone;
  }
  if (!by_size && operands == 1) {
    if (options.blocksize != nullptr || options.sector_size != nullptr)
      return failure_cause::blocksize_needs_disk;
    return !options.output_given || options.dry_run ? failure_cause::none
                                                    : failure_cause::output_needs_look;
  }
  return std::nullopt;
}

// --info: the image alone, with nothing about a disk to make.
failure_cause info_usage_cause(const run_options &options, std::size_t operands, bool by_size) {
  if (operands != 1)
    return failure_cause::wrong_operands;
  return !options.fat && !by_size && options.blocksize == nullptr &&
                 options.sector_size == nullptr && !options.dry_run && !options.no_clobber
             ? failure_cause::none
             : failure_cause::info_alone;
}

// The file jobs: one at a time, each with the image alone, or --add with a
// disk to make; none where none is asked for.
std::optional<failure_cause> files_usage_fits(const run_options &options, std::size_t operands,
                                              bool by_size) {
  const bool adds = options.added_count > 0;
  const int jobs = (adds ? 1 : 0) + (options.list ? 1 : 0) + (options.extract != nullptr ? 1 : 0);
  if (jobs == 0 && !options.volume_given && !options.force)
    return std::nullopt;
  if (options.added_count > most_added_paths)
    return failure_cause::too_many_adds;
  const bool copies = options.from_raw != nullptr || options.to_raw != nullptr;
  if (jobs != 1 || copies || options.info)
    return failure_cause::files_alone;
  const bool makes = by_size || operands == argument_count;
  if (adds && makes) {
    // Onto the disk being made, formatted as --fat formats it.
    if (options.volume_given || options.force)
      return failure_cause::files_alone;
    return std::nullopt;  // then checked as any disk to make
  }
  if (operands != 1)
    return failure_cause::wrong_operands;
  const bool disk_options = options.fat || by_size || options.blocksize != nullptr ||
                            options.sector_size != nullptr || options.label != nullptr ||
                            options.partitions_given || options.no_clobber || options.mode_given ||
                            options.progress;
  const bool output_fits = !options.output_given || options.list || options.dry_run;
  const bool dry_fits = !options.dry_run || adds;
  const bool force_fits = !options.force || !options.list;
  const bool sync_fits = !options.sync || !options.list;
  return !disk_options && output_fits && dry_fits && force_fits && sync_fits
             ? failure_cause::none
             : failure_cause::files_alone;
}

// Whether the options go together, with this many operands: none, or why
// not.
failure_cause usage_cause(const run_options &options, std::size_t operands) {
  const bool by_size = options.size != nullptr || options.floppy != nullptr;
  if (const std::optional<failure_cause> files = files_usage_fits(options, operands, by_size))
    return *files;
  // What only writing an image means: nothing to a look or a plan. Whether
  // dest may be replaced still tells a plan whether it would succeed.
  const bool writes = options.mode_given || options.sync || options.progress;
  if ((options.info || options.dry_run) && writes)
    return failure_cause::writes_only;
  // A label or a partition table only for a disk formatted, and never for
  // a look at one that exists.
  if ((options.label != nullptr || options.partitions_given) && !options.fat &&
      options.added_count == 0)
    return failure_cause::needs_fat;
  if (const std::optional<failure_cause> raw = raw_usage_fits(options, operands, by_size))
    return *raw;
  if (options.info)
    return info_usage_cause(options, operands, by_size);
  if (options.size != nullptr && options.floppy != nullptr)
    return failure_cause::size_or_floppy;
  if ((options.blocksize != nullptr && !by_size) ||
      (options.sector_size != nullptr && options.size == nullptr))
    return failure_cause::blocksize_needs_disk;
  if (options.output_given && !options.dry_run)
    return failure_cause::output_needs_look;
  return operands == (by_size ? 1 : argument_count) ? failure_cause::none
                                                    : failure_cause::wrong_operands;
}

std::optional<std::uint32_t> valid_blocksize(std::optional<std::uint32_t> blocksize) {
  if (!blocksize || *blocksize == 0 || *blocksize > max_blocksize)
    return std::nullopt;
  return blocksize;
}

// The checks every way of giving the disk ends with: the block's length,
// then the limits of the counts and of the offsets.
run_status finish_plan(image_plan &plan, const char *dest, std::uint32_t blocksize,
                       std::uint64_t cylinders, std::uint32_t heads, std::uint32_t sectors,
                       std::uint32_t bytes_per_sector) {
  disk_plan disk{};
  const run_status status =
      plan_layout(blocksize, cylinders, heads, sectors, bytes_per_sector, disk);
  if (status != run_status::ok)
    return status;
  plan.dest = dest;
  plan.header = disk.header;
  plan.block_bytes = disk.block_bytes;
  return run_status::ok;
}

run_status check_operands(std::span<const char *const> operands, image_plan &plan) {
  const auto blocksize = valid_blocksize(read_number(operands[1]));
  const auto cylinders = read_number(operands[2]);
  const auto heads = read_number(operands[3]);
  const auto sectors = read_number(operands[4]);
  const auto bytes_per_sector = read_number(operands[5]);

  if (!blocksize)
    return run_status::invalid_blocksize;
  if (!cylinders || !heads || !sectors || *cylinders == 0 || *heads == 0 || *sectors == 0)
    return run_status::invalid_geometry;
  // No sector may outgrow the 20-bit length of a map entry.
  if (!bytes_per_sector || *bytes_per_sector > max_entry_length)
    return run_status::invalid_geometry;
  return finish_plan(plan, operands[0], *blocksize, *cylinders, *heads, *sectors,
                     *bytes_per_sector);
}

// A disk of at least the size asked, by whole cylinders.
run_status plan_by_size(const char *dest, const run_options &options, image_plan &plan) {
  const auto blocksize =
      options.blocksize != nullptr ? valid_blocksize(read_count(options.blocksize)) : size_sectors;
  if (!blocksize)
    return run_status::invalid_blocksize;
  const size_reading size = read_size(options.size);
  if (size.status == run_status::invalid_size)
    return size.status;
  const auto sector_size =
      options.sector_size != nullptr ? read_count(options.sector_size) : default_sector_size;
  if (!sector_size || !is_sector_size(*sector_size))
    return run_status::invalid_geometry;
  // A size past 64 bits needs more cylinders than any count holds.
  const std::uint64_t cylinders = size.status == run_status::ok
                                      ? cylinders_for_size(size.bytes, *sector_size)
                                      : std::numeric_limits<std::uint64_t>::max();
  return finish_plan(plan, dest, *blocksize, cylinders, size_heads, size_sectors, *sector_size);
}

run_status plan_floppy(const char *dest, const run_options &options, image_plan &plan) {
  const floppy_format *format = find_floppy(options.floppy);
  // One track a block, unless asked otherwise.
  const auto blocksize = options.blocksize != nullptr
                             ? valid_blocksize(read_count(options.blocksize))
                             : (format != nullptr ? format->sectors : 1);
  if (!blocksize)
    return run_status::invalid_blocksize;
  if (format == nullptr)
    return run_status::invalid_size;
  return finish_plan(plan, dest, *blocksize, format->cylinders, format->heads, format->sectors,
                     floppy_sector_size);
}

// The last check: the geometry a BIOS has, the label, then whether the
// file system fits the disk.
run_status plan_disk_format(const run_options &options, std::uint64_t unix_seconds,
                            image_plan &plan) {
  disk_plan disk{
      .header = plan.header, .block_bytes = plan.block_bytes, .formatted = false, .format = {}};
  const format_choice choice{
      .type = options.fat_type,
      .partitions = options.partitions,
      .label = options.label,
      .floppy = options.floppy != nullptr ? find_floppy(options.floppy) : nullptr,
      .made_at = unix_seconds};
  const run_status status = plan_disk_format(choice, disk, plan.why);
  plan.formatted = disk.formatted;
  plan.format = disk.format;
  return status;
}

// The file jobs: whether the one asked for works on an image that exists
// (its operand); files added to a disk being made have it formatted.
bool plan_file_job(run_options &options, std::size_t operands, image_plan &plan) {
  const bool by_size = options.size != nullptr || options.floppy != nullptr;
  plan.adds_to_new = options.added_count > 0 && (by_size || operands == argument_count);
  options.fat = options.fat || plan.adds_to_new;
  return options.list || options.extract != nullptr ||
         (options.added_count > 0 && !plan.adds_to_new);
}

}  // namespace

std::optional<std::uint32_t> read_number(const char *text) {
  while (is_c_space(*text))
    ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+')
    ++text;
  const std::uint64_t limit = negative ? max_negative_magnitude : max_positive_value;
  std::uint64_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(*text - '0');
    if (magnitude > limit)
      return std::nullopt;
  }
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? 0U - value : value;
}

std::optional<preallocation> read_preallocation(const char *text) {
  for (const mode_name &known : mode_names) {
    if (known.name == text)
      return known.mode;
  }
  return std::nullopt;
}

run_status plan_image(std::span<const char *const> command_line, image_plan &plan,
                      std::uint64_t unix_seconds) {
  run_options options;
  plan.why = no_reason;
  plan.bare_operands = false;
  if (command_line.empty())
    return run_status::usage;
  const bool six = six_operands(command_line.subspan(1));
  // The tool's first form: six operands, or any count of arguments none of
  // which is an option, whose every answer stays as it was.
  plan.bare_operands = six || std::ranges::none_of(command_line.subspan(1),
                                                   [](const char *a) { return is_option(a); });
  operand_list listed{.names = {}, .count = 0};
  if (six) {
    std::ranges::copy(command_line.subspan(1), listed.names.begin());
    listed.count = argument_count;
  } else {
    if (!read_options(command_line, options, listed, plan.why))
      return run_status::usage;
    if (options.help)
      return run_status::help;
    if (options.version)
      return run_status::version;
  }
  if (listed.count > listed.names.size()) {
    plan.why.cause = failure_cause::wrong_operands;
    return run_status::usage;
  }
  const std::span<const char *const> operands = std::span(listed.names).first(listed.count);
  plan.why.cause = usage_cause(options, operands.size());
  if (plan.why.cause != failure_cause::none)
    return run_status::usage;
  run_status checked = run_status::ok;
  plan.geometry_from_raw = false;
  plan.raw_source = raw_geometry_source::given;
  const bool on_image = plan_file_job(options, operands.size(), plan);
  if (options.info || options.to_raw != nullptr || on_image) {
    plan.dest = operands[0];
  } else if (options.from_raw != nullptr && options.size == nullptr && options.floppy == nullptr &&
             operands.size() == 1) {
    plan.dest = operands[0];
    plan.geometry_from_raw = true;  // once RAW is read
  } else if (options.size != nullptr)
    checked = plan_by_size(operands[0], options, plan);
  else if (options.floppy != nullptr)
    checked = plan_floppy(operands[0], options, plan);
  else
    checked = check_operands(operands, plan);
  if (checked == run_status::ok && options.fat)
    checked = plan_disk_format(options, unix_seconds, plan);
  // A copy keeps the source's holes unless told otherwise, as cp does.
  if ((options.from_raw != nullptr || options.to_raw != nullptr) && !options.mode_given)
    options.mode = preallocation::off;
  if (checked == run_status::ok)
    plan.options = options;
  return checked;
}

run_status plan_from_raw(image_plan &plan, std::uint64_t length, const raw_geometry &geometry) {
  if (length == 0)
    return run_status::invalid_size;  // no disk holds nothing
  plan.raw_source = geometry.source;
  // One track a block, as for a disk given by size or floppy.
  return finish_plan(plan, plan.dest, geometry.sectors, geometry.cylinders, geometry.heads,
                     geometry.sectors, default_sector_size);
}

size_reading read_size(const char *text) {
  constexpr size_reading invalid = {.status = run_status::invalid_size, .bytes = 0};
  const char *suffix = text;
  while (is_digit(*suffix))
    ++suffix;
  if (suffix == text)
    return invalid;
  // The suffix: a power of 1024 or of 1000, or none.
  constexpr std::string_view powers = "KMGTP";
  std::uint64_t unit = 1;
  const std::string_view tail = suffix;
  const std::size_t power =
      tail.empty() ? std::string_view::npos : powers.find(ascii_upper(tail[0]));
  if (power != std::string_view::npos) {
    // After the power, in any case: nothing or iB for 1024, B for 1000.
    const std::string_view after = suffix + 1;
    const bool binary = after.empty() || equal_ignoring_case(after, "iB");
    if (!binary && !equal_ignoring_case(after, "B"))
      return invalid;
    for (std::size_t i = 0; i <= power; ++i)
      unit *= binary ? 1024 : 1000;
  } else if (!tail.empty() && tail != "B") {
    return invalid;
  }
  std::uint64_t bytes = 0;
  bool too_large = false;
  for (const char *digit = text; digit != suffix; ++digit) {
    const auto value = static_cast<std::uint64_t>(*digit - '0');
    too_large = too_large || bytes > (std::numeric_limits<std::uint64_t>::max() - value) / 10;
    bytes = too_large ? 0 : bytes * 10 + value;
  }
  if (!too_large && bytes == 0)
    return invalid;
  if (too_large || bytes > std::numeric_limits<std::uint64_t>::max() / unit)
    return {.status = run_status::image_too_large, .bytes = 0};
  return {.status = run_status::ok, .bytes = bytes * unit};
}

const char *program_name(std::span<const char *const> command_line) {
  if (command_line.empty() || command_line[0] == nullptr || *command_line[0] == '\0')
    return "blankimg";
  return command_line[0];
}

}  // namespace blankimg
