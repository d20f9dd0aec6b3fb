// Feeds argument vectors, NUL-separated in the input, to the command-line
// reading and checking, and holds every answer to an independent reading:
// a plain walk over the options, strtoll for the numbers, 128-bit arithmetic
// for the sizes.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/command_line.hpp"

namespace {

using namespace blankimg;
__extension__ using wide = unsigned __int128;

constexpr std::size_t max_arguments = 12;

void require(bool property) {
  if (!property)
    std::abort();
}

// strtoll reads the same syntax over a wider range; only values in
// -2147483648..4294967295 may be accepted, taken modulo 2^32.
std::optional<std::uint32_t> reference_number(const std::string &text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < -2147483648LL || value > 4294967295LL)
    return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::vector<std::string> split_arguments(std::string_view input) {
  std::vector<std::string> arguments;
  for (;;) {
    const std::size_t end = input.find('\0');
    arguments.emplace_back(input.substr(0, end));
    if (end == std::string_view::npos || arguments.size() == max_arguments)
      return arguments;
    input.remove_prefix(end + 1);
  }
}

struct operands_reading {
  std::vector<std::string> operands;
  run_options options;
};

constexpr std::string_view mode_prefix = "--preallocation=";

bool names_option(const std::string &argument) {
  return argument == "--help" || argument == "--version" || argument == "--progress" ||
         argument == "--no-clobber" || argument == "--sync" || argument.starts_with(mode_prefix);
}

// Six arguments none of which, before a "--", is exactly an option are the
// operands. Otherwise every argument that begins with "--", up to a lone
// "--", is an option wherever it stands, and the rest are the operands.
// None for a bad option.
std::optional<operands_reading> reference_operands(const std::vector<std::string> &arguments) {
  operands_reading reading{.operands = {}, .options = {}};
  run_options &options = reading.options;
  const auto before_dashes = std::ranges::find(arguments, std::string("--")) - arguments.begin();
  if (arguments.size() == argument_count &&
      std::none_of(arguments.begin(), arguments.begin() + before_dashes, names_option)) {
    reading.operands = arguments;
    return reading;
  }
  const std::string prefix(mode_prefix);
  for (std::size_t at = 0; at < arguments.size();) {
    const std::string &argument = arguments[at++];
    if (argument == "--") {
      reading.operands.insert(reading.operands.end(),
                              arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
      break;
    }
    if (!argument.starts_with("--")) {
      reading.operands.push_back(argument);
      continue;
    }
    std::string mode;
    if (argument == "--help" || argument == "--version" || argument == "--progress" ||
        argument == "--no-clobber" || argument == "--sync") {
      options.help = options.help || argument == "--help";
      options.version = options.version || argument == "--version";
      options.progress = options.progress || argument == "--progress";
      options.no_clobber = options.no_clobber || argument == "--no-clobber";
      options.sync = options.sync || argument == "--sync";
      continue;
    }
    if (argument.starts_with(prefix))
      mode = argument.substr(prefix.size());
    else if (argument == "--preallocation" && at < arguments.size())
      mode = arguments[at++];
    else
      return std::nullopt;
    if (mode == "off")
      options.mode = preallocation::off;
    else if (mode == "falloc")
      options.mode = preallocation::falloc;
    else if (mode == "full")
      options.mode = preallocation::full;
    else
      return std::nullopt;
  }
  return reading;
}

void check_accepted(const image_plan &plan, const std::vector<std::uint32_t> &numbers) {
  const image_header &h = plan.header;
  require(h.blocksize == numbers[0] && h.cylinders == numbers[1] && h.heads == numbers[2] &&
          h.sectors == numbers[3] && h.bytes_per_sector == numbers[4]);
  require(h.header_length == 80 && h.fixed_word_a == 2 && h.fixed_word_b == 2 &&
          h.fixed_word_c == 0);
  require(h.blocksize >= 1 && h.blocksize <= max_blocksize);

  // Enough blocks for every sector, and not one more.
  const wide sectors = wide{h.cylinders} * h.heads * h.sectors;
  require(sectors > 0 && wide{h.block_count} * h.blocksize >= sectors &&
          wide{h.block_count - 1U} * h.blocksize < sectors);

  const wide block_bytes = wide{h.blocksize} * h.bytes_per_sector;
  require(plan.block_bytes == block_bytes && block_bytes <= max_entry_length);
  const wide image_bytes = 88 + wide{8} * h.block_count + wide{h.block_count} * block_bytes;
  require(image_bytes <= max_image_bytes);

  // The first and the last entry keep their length and offset whole.
  const std::uint64_t first = data_area_offset(h.block_count);
  const std::uint64_t last = first + std::uint64_t{h.block_count - 1U} * plan.block_bytes;
  for (const std::uint64_t offset : {first, last}) {
    const map_entry entry = encode_mapentry(offset, plan.block_bytes);
    require((entry >> 44) == plan.block_bytes && (entry & entry_offset_mask) == offset);
  }
}

void check_refused(run_status status, bool usage_expected) {
  require((status == run_status::usage) == usage_expected);
  if (status == run_status::usage)
    return;
  const std::array<std::string_view, 3> refusals = {"invalid blocksize\n", "invalid geometry\n",
                                                    "image too large\n"};
  const char *message = message_for(status);
  require(message != nullptr);
  std::size_t matches = 0;
  for (std::string_view refusal : refusals)
    matches += refusal == message ? 1 : 0;
  require(matches == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::vector<std::string> arguments =
      split_arguments(std::string_view(reinterpret_cast<const char *>(data), size));
  // The model knows the options of the six-operand line; those that give
  // the disk another way, or describe an image, are left to the tables.
  for (const char *other : {"--size", "--floppy", "--blocksize", "--sector-size", "--dry-run",
                            "--info", "--output", "--fat", "--label", "--partition", "--from-raw",
                            "--to-raw", "--add", "--extract", "--list", "--volume", "--force"}) {
    if (std::ranges::any_of(arguments, [other](const std::string &argument) {
          return argument.starts_with(other);
        }))
      return 0;
  }

  std::vector<const char *> command_line = {"blankimg"};
  for (const std::string &argument : arguments) {
    command_line.push_back(argument.c_str());
    require(read_number(argument.c_str()) == reference_number(argument));
  }

  const std::optional<operands_reading> reading = reference_operands(arguments);
  image_plan plan{};
  const run_status status = plan_image(command_line, plan);
  if (reading && (reading->options.help || reading->options.version)) {
    require(status == (reading->options.help ? run_status::help : run_status::version));
    return 0;
  }
  const bool usage_expected = !reading || reading->operands.size() != argument_count;
  if (status != run_status::ok) {
    check_refused(status, usage_expected);
    return 0;
  }
  const run_options &expected = reading->options;
  require(!usage_expected && plan.options.mode == expected.mode &&
          plan.options.progress == expected.progress &&
          plan.options.no_clobber == expected.no_clobber && plan.options.sync == expected.sync);
  require(std::strcmp(plan.dest, reading->operands[0].c_str()) == 0);
  std::vector<std::uint32_t> numbers;
  for (std::size_t i = 1; i < reading->operands.size(); ++i)
    numbers.push_back(*reference_number(reading->operands[i]));
  check_accepted(plan, numbers);
  return 0;
}
