#include "tool/command_line.hpp"

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

// Blocks needed to hold every sector of the disk, the last one rounded up;
// none when a 32-bit count cannot hold them.
std::optional<std::uint32_t> count_blocks(std::uint32_t cylinders, std::uint32_t heads,
                                          std::uint32_t sectors, std::uint32_t blocksize) {
  const std::uint64_t per_cylinder = std::uint64_t{heads} * sectors;
  if (cylinders != 0 && per_cylinder > std::numeric_limits<std::uint64_t>::max() / cylinders)
    return std::nullopt;
  const std::uint64_t total = per_cylinder * cylinders;
  const std::uint64_t blocks = total / blocksize + (total % blocksize != 0 ? 1 : 0);
  if (blocks > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::uint32_t>(blocks);
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
constexpr std::array<flag_name, 5> flag_names = {{
    {"--help", &run_options::help},
    {"--version", &run_options::version},
    {"--progress", &run_options::progress},
    {"--no-clobber", &run_options::no_clobber},
    {"--sync", &run_options::sync},
}};

// Sets the flag argument names; false when it names none.
bool read_flag(std::string_view argument, run_options &options) {
  const auto *const known = std::ranges::find(flag_names, argument, &flag_name::name);
  if (known == flag_names.end())
    return false;
  options.*(known->flag) = true;
  return true;
}

// Reads the options in front of the operands into options. Returns where
// the operands begin, or none for an option that is unknown or lacks its
// value.
std::optional<std::size_t> read_options(std::span<const char *const> command_line,
                                        run_options &options) {
  std::size_t at = 1;
  for (; at < command_line.size(); ++at) {
    const std::string_view argument = command_line[at];
    if (!argument.starts_with("--"))
      return at;
    if (argument == "--")
      return at + 1;
    if (read_flag(argument, options))
      continue;
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name != "--preallocation")
      return std::nullopt;
    const char *value = nullptr;
    if (equals != std::string_view::npos)
      value = command_line[at] + equals + 1;
    else if (at + 1 < command_line.size())
      value = command_line[++at];
    const std::optional<preallocation> mode =
        value == nullptr ? std::nullopt : read_preallocation(value);
    if (!mode)
      return std::nullopt;
    options.mode = *mode;
  }
  return at;
}

run_status check_operands(std::span<const char *const> operands, image_plan &plan) {
  const auto blocksize = read_number(operands[1]);
  const auto cylinders = read_number(operands[2]);
  const auto heads = read_number(operands[3]);
  const auto sectors = read_number(operands[4]);
  const auto bytes_per_sector = read_number(operands[5]);

  if (!blocksize || *blocksize == 0 || *blocksize > max_blocksize)
    return run_status::invalid_blocksize;
  if (!cylinders || !heads || !sectors || *cylinders == 0 || *heads == 0 || *sectors == 0)
    return run_status::invalid_geometry;
  // Neither a sector nor a block may outgrow the 20-bit length of a map entry.
  if (!bytes_per_sector || *bytes_per_sector > max_entry_length)
    return run_status::invalid_geometry;
  const std::uint64_t block_bytes = std::uint64_t{*blocksize} * *bytes_per_sector;
  if (block_bytes > max_entry_length)
    return run_status::invalid_blocksize;
  const auto block_count = count_blocks(*cylinders, *heads, *sectors, *blocksize);
  if (!block_count)
    return run_status::image_too_large;
  // Every data offset must fit the 44-bit field of a map entry.
  if (image_end(*block_count, block_bytes) > max_image_bytes)
    return run_status::image_too_large;

  plan.dest = operands[0];
  plan.header = image_header{
      .header_length = header_length,
      .fixed_word_a = 2,
      .fixed_word_b = 2,
      .fixed_word_c = 0,
      .blocksize = *blocksize,
      .block_count = *block_count,
      .cylinders = *cylinders,
      .heads = *heads,
      .sectors = *sectors,
      .bytes_per_sector = *bytes_per_sector,
      .zero_block_a = {},
      .zero_block_b = {},
  };
  plan.block_bytes = static_cast<std::uint32_t>(block_bytes);
  return run_status::ok;
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

run_status plan_image(std::span<const char *const> command_line, image_plan &plan) {
  run_options options;
  std::size_t first_operand = 1;
  if (command_line.size() != 1 + argument_count) {
    const std::optional<std::size_t> after_options = read_options(command_line, options);
    if (!after_options)
      return run_status::usage;
    if (options.help)
      return run_status::help;
    if (options.version)
      return run_status::version;
    if (command_line.size() - *after_options != argument_count)
      return run_status::usage;
    first_operand = *after_options;
  }
  const run_status checked = check_operands(command_line.subspan(first_operand), plan);
  if (checked == run_status::ok)
    plan.options = options;
  return checked;
}

const char *program_name(std::span<const char *const> command_line) {
  if (command_line.empty() || command_line[0] == nullptr || *command_line[0] == '\0')
    return "blankimg";
  return command_line[0];
}

const char *message_for(run_status status) {
  switch (status) {
  case run_status::invalid_blocksize:
    return "invalid blocksize\n";
  case run_status::invalid_geometry:
    return "invalid geometry\n";
  case run_status::image_too_large:
    return "image too large\n";
  case run_status::cant_open_dest:
    return "can't open dest\n";
  case run_status::write_error:
    return "write error\n";
  case run_status::ok:
  case run_status::help:
  case run_status::version:
  case run_status::usage:
    break;
  }
  return nullptr;
}

}  // namespace blankimg
