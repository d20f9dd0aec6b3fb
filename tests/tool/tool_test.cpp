// The tool end to end: what it prints, its exit status, and the file it leaves.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.hpp"

namespace blankimg::test {
namespace {

bool all_zero(const bytes &data, std::size_t from) {
  return std::all_of(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(),
                     [](std::uint8_t b) { return b == 0; });
}

TEST(Tool, WritesTheWorkedExampleByteForByteInEveryModeOverWhateverWasThere) {
  struct example {
    std::vector<std::string> options;
    std::string name = "img";
  };
  const std::optional<bytes> earlier_contents[] = {std::nullopt, bytes(5000, 0xff), bytes()};
  const example examples[] = {
      {{}},
      {{"--preallocation=falloc"}, "\xe6\x97\xa5\xe6\x9c\xac \xc3\xa9.img"},  // "日本 é.img"
      {{"--preallocation", "full"}},
      {{"--preallocation=off", "--"}},
      {{"--no-clobber"}},  // refuses whatever was there, down to its last byte
  };
  for (const example &e : examples) {
    for (const std::optional<bytes> &earlier : earlier_contents) {
      const scratch_dir dir;
      const std::string image = dir.file(e.name);
      if (earlier)
        write_file(image, *earlier);
      const bool refused = earlier && e.options == std::vector<std::string>{"--no-clobber"};
      const tool_result result =
          run_tool({.arguments = with_dest(image, worked_example_geometry(), e.options)});
      EXPECT_EQ(result.status, refused ? 1 : 0);
      EXPECT_EQ(result.out, "");
      // The file refused, and why: in Windows' words there.
      const std::string named = "can't open dest\nblankimg: " + image + ": ";
      EXPECT_EQ(result.err.starts_with(named), refused) << result.err;
      EXPECT_EQ(result.err.empty(), !refused) << result.err;
      if (refused && posix_machinery) {
        EXPECT_EQ(result.err, named + "File exists\n");
      }
      EXPECT_EQ(read_file(image), refused ? *earlier : worked_example_image()) << e.name;
    }
  }
}

// Refusals and answers alike: one fixed text, and on a command line with
// options the line that names the cause; no carriage return even on
// Windows, and no file.
TEST(Tool, RefusesBadArgumentsWithOneLineAndNoFile) {
  struct example {
    std::vector<std::string> numbers;
    std::string message;
    std::vector<std::string> options = {};
    std::vector<std::string> printed = {};  // on standard output, for status 0
    std::string cause = {};                 // after "blankimg: ", DEST standing for dest
  };
  const std::string see_help = "; see blankimg --help";
  const std::string operands_wanted =
      "give dest and five numbers, or dest alone with --size, --floppy or --from-raw, or the "
      "image alone with --info or --to-raw" +
      see_help;
  const std::string usage =
      tool_path() + " dest blocksize cylinders heads sectors/tracks bytes/sector\n";
  const std::string version = std::string("blankimg ") + BLANKIMG_VERSION + "\n";
  const example examples[] = {
      {{"2", "1", "1", "3"}, usage},
      {{"2", "1", "1", "3", "128", "9"}, usage},
      {{"2048", "1", "1", "3", "128"}, "invalid blocksize\n"},
      {{"0", "1", "1", "3", "128"}, "invalid blocksize\n"},
      {{"-5", "1", "1", "3", "128"}, "invalid blocksize\n"},
      {{"two", "1", "1", "3", "128"}, "invalid blocksize\n"},
      {{"0", "0", "1", "3", "128"}, "invalid blocksize\n"},
      {{"99999999999", "1", "1", "3", "128"}, "invalid blocksize\n"},
      {{"2", "0", "1", "3", "128"}, "invalid geometry\n"},
      {{"2", "1", "0", "3", "128"}, "invalid geometry\n"},
      {{"2", "1", "1", "0", "128"}, "invalid geometry\n"},
      {{"2", "1", "1", "3", "1048576"}, "invalid geometry\n"},
      {{"2", "1", "1", "3", "-1"}, "invalid geometry\n"},
      {{"2", "1", "1", "3", "99999999999"}, "invalid geometry\n"},
      {{"2047", "1", "1", "3", "1024"}, "invalid blocksize\n"},
      {{"1", "65536", "65536", "1", "0"}, "image too large\n"},
      {{"64", "1000000", "255", "63", "2048"}, "image too large\n"},
      {worked_example_geometry(),
       usage,
       {"--preallocation=sparse"},
       {},
       "invalid value 'sparse' for --preallocation" + see_help},
      {worked_example_geometry(),
       usage,
       {"--preallocation="},
       {},
       "invalid value '' for --preallocation" + see_help},
      // Takes dest as the mode.
      {worked_example_geometry(),
       usage,
       {"--preallocation"},
       {},
       "invalid value 'DEST' for --preallocation" + see_help},
      {worked_example_geometry(), usage, {"--sparse"}, {}, "unknown option '--sparse'" + see_help},
      {worked_example_geometry(), usage, {"--sise=10M"}, {}, "unknown option '--sise'" + see_help},
      {{"2", "1", "1", "3"}, usage, {"--preallocation", "off"}, {}, operands_wanted},
      // Six arguments are the six operands, unless one is an option.
      {{"2", "1", "1", "3"}, usage, {"--preallocation=off"}, {}, operands_wanted},
      {{"2", "1", "1", "3", "128", "9"}, usage, {"--"}, {}, operands_wanted},
      // Five or seven arguments and no option: the usage line alone.
      {{"2", "1", "1", "3"}, usage},
      {{}, usage, {"--label=X", "--size=10M"}, {}, "--label and --partition need --fat"},
      {worked_example_geometry(),
       "",
       {"--help"},
       {"Usage: " + tool_path() + " [options] dest blocksize", "--preallocation=MODE", "--progress",
        "--no-clobber", "--sync", "--version", "--size=SIZE", "--info", "Exit status", "Manual: "}},
      {worked_example_geometry(), "", {"--sync", "--help"}, {"--floppy=NAME dest\n"}},
      {worked_example_geometry(), "", {"--version"}, {version}},
      {{}, "", {"--progress", "--version", "--help"}, {"--info IMAGE\n"}},
      {worked_example_geometry(), "", {"--dry-run"}, {"block count: 2\n", "616 bytes", "none"}},
      {{}, "", {"--dry-run", "--size=10G"}, {"20806 cylinders", "10737893376 bytes"}},
      {{}, "", {"--dry-run", "--output=json", "--floppy=720K"}, {"\"cylinders\": 80,"}},
      {{}, "invalid size\n", {"--floppy=1.2"}},
      {{}, usage, {"--size=1G", "--floppy=1.2M"}, {}, "--size and --floppy do not go together"},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    const tool_result result =
        run_tool({.arguments = with_dest(dir.file("img"), e.numbers, e.options)});
    EXPECT_EQ(result.status, e.printed.empty() ? 1 : 0) << e.message;
    std::string cause = e.cause;
    if (const std::size_t dest = cause.find("DEST"); dest != std::string::npos)
      cause.replace(dest, 4, dir.file("img"));
    EXPECT_EQ(result.err, e.message + (cause.empty() ? "" : "blankimg: " + cause + "\n"));
    EXPECT_EQ(result.out.empty(), e.printed.empty());
    for (const std::string &text : e.printed)
      EXPECT_NE(result.out.find(text), std::string::npos) << text;
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
    EXPECT_FALSE(file_exists(dir.file("img"))) << e.message;
  }
  EXPECT_EQ(run_tool({.arguments = {"--version"}}).out, version);
}

// Each kind of damage, made by cutting or patching a fresh image, in text and
// in JSON read by Python's parser: the count, and the finding listed first.
TEST(Tool, InfoDescribesAnImageAndListsWhatIsDamaged) {
  struct example {
    std::string finding;  // the message for status 1, the first listed for 2, "" for none
    std::uint64_t count = 1;
    std::size_t cut_at = 0;  // the file's new length, when not 0
    std::size_t patch_at = 0;
    bytes patch = {};
    std::string name = "img";
    std::vector<std::string> numbers = worked_example_geometry();
    std::string shown_name{};      // as the text shows it, after the directory, where quoted
    const char *layout = nullptr;  // why it is not as created, for an intact image
  };
  const auto entries = [](std::uint8_t first, std::uint8_t second) {
    return bytes{0, 0x10, 0, 0, 0, 0, 1, first, 0, 0x10, 0, 0, 0, 0, 0, second};
  };
  const std::vector<std::string> many_blocks = {"1", "70000", "1", "1", "1"};
  const example examples[] = {
      {"", 0},
      // Names JSON escapes and the text quotes: a newline, a byte that is
      // not UTF-8, U+2028.
      {"",
       0,
       0,
       0,
       {},
       "a\"b\nc\xff\xe2\x80\xa8.img",
       worked_example_geometry(),
       "a\"b'$'\\n''c'$'\\377'$'\\342'$'\\200'$'\\250''.img'"},
      // A mark that turns the text around (U+202E) is quoted as bytes too.
      {"",
       0,
       0,
       0,
       {},
       "x\xe2\x80\xaegpj.img",
       worked_example_geometry(),
       "x'$'\\342'$'\\200'$'\\256''gpj.img'"},
      // Intact, but not as this tool lays it out.
      {"", 0, 0, 80, entries(0x68, 0x68), "img", worked_example_geometry(), "",
       "blocks in another order or of another length"},
      {"", 0, 700, 0, {}, "img", worked_example_geometry(), "", "bytes after the last block"},
      {"",
       0,
       0,
       23,
       {1},
       "img",
       worked_example_geometry(),
       "",
       "a header word other than blankimg writes"},
      {"header length is 81, not 80", 1, 0, 11, {81}},
      {"block size is 0 sectors, not 1 to 2047", 3, 0, 27, {0}},
      {"a cylinder, head or sector count is 0", 1, 0, 39, {0}},
      // A geometry of 2^96 sectors of 128 bytes: no product wraps to a size
      // that looks possible.
      {"the disk's 10141204794742285489318425264000 bytes are more than any file holds", 2, 0, 32,
       bytes(12, 0xff)},
      {"block count is 3, but the geometry needs 2", 5, 0, 31, {3}},
      {"end-of-list marker is not \"EndOfLis\"", 1, 0, 96, {'X'}},
      {"file ends at byte 100, before the end of the block map and marker at 104", 3, 100},
      {"block 1 reaches past the end of the file", 1, 600},
      {"block 1 lies in the header, block map or marker", 2, 0, 94, {0, 0x50}},
      {"block 0 is longer than a block", 2, 0, 81, {0x20}},
      {"block 1 holds no bytes", 1, 0, 89, {0}},
      // Block 1 at 232, inside block 0; then, out of order, at 200.
      {"block 1 shares bytes with block 0", 1, 0, 94, {0, 0xe8}},
      {"block 1 shares bytes with block 0", 1, 0, 80, entries(0x68, 0xc8)},
      // One entry among thousands laid out, wrong only in a high byte.
      {"block 20 reaches past the end of the file", 1, 0, 243, {1}, "img", many_blocks},
      {"block 1 lies in the header, block map or marker", 2, 0, 94, {0, 0x62}},  // in the marker
      // The marker before the blocks, though the map comes first.
      {"end-of-list marker is not \"EndOfLis\"", 70001, 560088, 560080, {'X'}, "img", many_blocks},
      // The file's length first, then the blocks it leaves out.
      {"file ends at byte 500, before the end of the block map and marker at 560088",
       53,
       500,
       0,
       {},
       "img",
       many_blocks},
      {"not an image\n", 0, 79},
      {"not an image\n", 0, 0, 0, {'t'}},
      {"can't open image\n", 0, 0, 0, {}, "."},  // a directory
  };
  // The JSON of every row, and what Python is to read in it, checked with
  // one Python at the end.
  const scratch_dir outputs;
  std::vector<std::pair<std::string, std::string>> json_expected;
  for (const example &e : examples) {
    if (e.name.find('"') != std::string::npos && !posix_machinery)
      continue;  // Windows allows no quote in a name
    const int status = e.finding.ends_with("\n") ? 1 : (e.finding.empty() ? 0 : 2);
    const scratch_dir dir;
    const std::string image = dir.file(e.name);
    if (e.name != ".") {
      ASSERT_EQ(run_tool({.arguments = with_dest(image, e.numbers)}).status, 0);
      bytes content = read_file(image);
      std::ranges::copy(e.patch, content.begin() + static_cast<std::ptrdiff_t>(e.patch_at));
      content.resize(e.cut_at != 0 ? e.cut_at : content.size());
      write_file(image, content);
    }
    const tool_result text = run_tool({.arguments = {"--info", image}});
    EXPECT_EQ(text.status, status) << e.finding;
    // A file that cannot be opened is named, with the system's words.
    EXPECT_EQ(text.err.substr(0, text.err.find('\n') + 1), status == 1 ? e.finding : "");
    EXPECT_EQ(text.err.find("blankimg: " + image + ": ") == 0 + e.finding.size(),
              e.finding == "can't open image\n");
    if (status == 1)
      continue;
    const std::string shown = e.shown_name.empty() ? image : "'" + dir.path + "/" + e.shown_name;
    EXPECT_TRUE(text.out.starts_with("image: " + shown + "\n")) << text.out;
    const std::string errors =
        e.count == 0 ? "errors: none\n"
                     : "errors: " + std::to_string(e.count) + "\n  " + e.finding + "\n";
    EXPECT_NE(text.out.find(errors), std::string::npos) << text.out;
    EXPECT_EQ(
        text.out.find("  and " + std::to_string(e.count - 10) + " more\n") != std::string::npos,
        e.count > 10)
        << text.out;
    const bool as_created = status == 0 && e.layout == nullptr;
    EXPECT_EQ(text.out.find("layout: as blankimg") != std::string::npos, as_created) << text.out;
    if (e.layout != nullptr) {
      EXPECT_NE(
          text.out.find(std::string("layout: not as blankimg creates it (") + e.layout + ")\n"),
          std::string::npos)
          << text.out;
    }
    if (std::string(BLANKIMG_PYTHON).empty())
      continue;
    const tool_result json = run_tool({.arguments = {"--output=json", "--info", image}});
    EXPECT_EQ(json.status, status);
    const std::string json_file = outputs.file(std::to_string(json_expected.size()) + ".json");
    write_file(json_file, bytes(json.out.begin(), json.out.end()));
    // The name as Python decodes it, the byte that is not UTF-8 as U+FFFD;
    // then as-created, the count and the first finding.
    std::string read = image + "\n" + (as_created ? "true" : "false") + "\n" +
                       std::to_string(e.count) + "\n" + (e.count == 0 ? "" : e.finding + "\n");
    if (const std::size_t odd = read.find('\xff'); odd != std::string::npos)
      read.replace(odd, 1, "\xef\xbf\xbd");
    json_expected.emplace_back(json_file, read);
  }
  if (json_expected.empty())
    return;
  std::string command = "'" BLANKIMG_PYTHON "' " BLANKIMG_TESTS_DIR "/system/read_description.py";
  for (const auto &[file, read] : json_expected)
    command += " " + file;
  ASSERT_EQ(std::system(command.c_str()), 0);  // NOLINT(cert-env33-c)
  for (const auto &[file, read] : json_expected) {
    const bytes fields = read_file(file + ".read");
    EXPECT_EQ(std::string(fields.begin(), fields.end()).substr(0, read.size()), read);
  }
}

TEST(Tool, UsageLineNamesTheProgramAsInvoked) {
  struct example {
    tool_run run;
    std::string name;
  };
  const example examples[] = {
      {{.arguments = {"img"}, .program_name = "mkimg"}, "mkimg"},
      {{.arguments = {"img"}, .program_name = ""}, "blankimg"},
      {{.empty_argv = true}, "blankimg"},
  };
  for (const example &e : examples) {
    if (e.run.empty_argv && !posix_machinery)
      continue;  // Windows always hands a program its command line
    const tool_result result = run_tool(e.run);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, e.name + " dest blocksize cylinders heads sectors/tracks bytes/sector\n");
  }
}

// A dry run says what the run would say, and leaves everything as it was.
TEST(Tool, CannotOpenADestinationInAMissingDirectoryOrOneNotToBeReplaced) {
  struct example {
    const char *dest;
    std::vector<std::string> options;
    const char *cause;  // the system's words, on a command line with options
  };
  const example examples[] = {
      {"missing/img", {}, nullptr},
      {"missing/img", {"--dry-run"}, "No such file or directory"},
      {"missing/img", {"--preallocation=off"}, "No such file or directory"},
      {"img", {"--dry-run", "--no-clobber"}, "File exists"},  // img exists
      {".", {"--dry-run"}, "Is a directory"},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    write_file(dir.file("img"), {1});
    const tool_result result =
        run_tool({.arguments = with_dest(dir.file(e.dest), worked_example_geometry(), e.options)});
    EXPECT_EQ(result.status, 1) << e.dest;
    // The file, then the system's words: Windows has words of its own.
    const std::string named = "can't open dest\nblankimg: " + dir.file(e.dest) + ": ";
    if (e.cause == nullptr) {
      EXPECT_EQ(result.err, "can't open dest\n") << e.dest;
    } else if (posix_machinery) {
      EXPECT_EQ(result.err, named + e.cause + "\n") << e.dest;
    } else {
      EXPECT_TRUE(result.err.starts_with(named) && result.err.size() > named.size() + 1)
          << result.err;
    }
    EXPECT_EQ(result.out, "") << e.dest;
    EXPECT_EQ(read_file(dir.file("img")), bytes{1});
  }
}

struct layout_example {
  std::vector<std::string> numbers;
  std::uint32_t block_count;
  std::uint32_t block_bytes;
  std::uint32_t bytes_per_sector;  // as stored, after reading the argument
};

std::uint64_t big_endian(const bytes &data, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i)
    value = value << 8 | data[at + i];
  return value;
}

TEST(Tool, LaysOutMapMarkerAndZeroDataForEveryGeometry) {
  const layout_example examples[] = {
      {{"2", "1", "1", "5", "16"}, 3, 32, 16},           // rounds up: the last block is whole
      {{"3", "1", "1", "2", "4096"}, 1, 12288, 4096},    // sectors longer than one write
      {{"1", "1", "1", "1", "5000"}, 1, 5000, 5000},     // and not a multiple of it
      {{"4", "3", "2", "7", "0"}, 11, 0, 0},             // empty blocks: no data area
      {{"1", "2", "1", "1", "512xyz"}, 2, 512, 512},     // digits then letters
      {{"64", "4", "16", "63", "512"}, 63, 32768, 512},  // more than one write of zeros
      {{"1", "70000", "1", "1", "1"}, 70000, 1, 1},      // more than one write of the map
      {{"1", "3", "2", "5", "16"}, 30, 16, 16},          // no two of the geometry alike
  };
  for (const layout_example &e : examples) {
    const scratch_dir dir;
    ASSERT_EQ(run_tool({.arguments = with_dest(dir.file("img"), e.numbers)}).status, 0);
    const bytes image = read_file(dir.file("img"));
    const std::uint64_t data_start = 88 + 8ULL * e.block_count;
    ASSERT_EQ(image.size(), data_start + std::uint64_t{e.block_count} * e.block_bytes);
    EXPECT_EQ(big_endian(image, 28, 4), e.block_count);
    EXPECT_EQ(big_endian(image, 76, 4), e.bytes_per_sector);
    for (std::size_t field = 0; field < 3; ++field)  // cylinders, heads, sectors
      EXPECT_EQ(std::to_string(big_endian(image, 32 + 4 * field, 4)), e.numbers[field + 1]);
    for (std::uint32_t i = 0; i < e.block_count; ++i) {
      const std::uint64_t entry = big_endian(image, 80 + 8 * i, 8);
      EXPECT_EQ(entry >> 44, e.block_bytes) << "block " << i;
      EXPECT_EQ(entry & ((1ULL << 44) - 1), data_start + std::uint64_t{i} * e.block_bytes);
    }
    EXPECT_EQ(std::string(image.begin() + static_cast<std::ptrdiff_t>(data_start - 8),
                          image.begin() + static_cast<std::ptrdiff_t>(data_start)),
              "EndOfLis");
    EXPECT_TRUE(all_zero(image, static_cast<std::size_t>(data_start)));
  }
}

TEST(Tool, ReportsAFullDevice) {
  if (!posix_machinery)
    GTEST_SKIP() << "needs /dev/full";
  const std::vector<std::string> sizes[] = {
      worked_example_geometry(), {"64", "4", "16", "63", "512"},  // many writes of zeros
  };
  for (const std::vector<std::string> &numbers : sizes) {
    const tool_result result = run_tool({.arguments = with_dest("/dev/full", numbers)});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "write error\n");
  }
}

// On a 64 KiB stack too: no large buffer may sit there.
TEST(Tool, StopsAtAFileSizeLimitInEveryModeAndLeavesThePartialFile) {
  if (!posix_machinery)
    GTEST_SKIP() << "needs RLIMIT_FSIZE and RLIMIT_STACK";
  struct example {
    const char *where;
    std::vector<std::string> options;
    std::vector<std::string> numbers;
    std::uint64_t limit;
    std::uint64_t partial_size;
  };
  const std::vector<std::string> hard_disk = {"64", "4", "16", "63", "512"};
  const example examples[] = {
      {"header", {}, worked_example_geometry(), 40, 40},
      {"block map", {}, worked_example_geometry(), 84, 84},
      {"end-of-list marker", {}, worked_example_geometry(), 100, 100},
      // A data area that cannot be had in full gives back what it took:
      // the file ends at the marker.
      {"data area, reserved", {}, worked_example_geometry(), 300, 104},
      {"data area, a hole", {"--preallocation=off"}, worked_example_geometry(), 300, 104},
      {"data area, written", {"--preallocation=full"}, worked_example_geometry(), 300, 104},
      {"data area, past the first write", {"--preallocation=full"}, hard_disk, 1500000, 592},
      {"data area of a larger disk, reserved", {}, hard_disk, 1500000, 592},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    const tool_result result =
        run_tool({.arguments = with_dest(dir.file("img"), e.numbers, e.options),
                  .file_size_limit = e.limit,
                  .stack_limit = std::uint64_t{64} * 1024});
    EXPECT_EQ(result.status, 1) << e.where;
    EXPECT_EQ(result.err, "write error\n") << e.where;
    const bytes partial = read_file(dir.file("img"));
    EXPECT_EQ(partial.size(), e.partial_size) << e.where;
    if (e.numbers == worked_example_geometry()) {
      const bytes whole = worked_example_image();
      EXPECT_EQ(partial,
                bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(partial.size())));
    }
  }
}

TEST(Tool, ARunOnALockedImageFailsAtOnceAndLeavesItWhole) {
  const scratch_dir dir;
  const std::string image = dir.file("img");
  const std::vector<std::string> arguments = with_dest(image, worked_example_geometry());
  {
    write_file(image, bytes(5000, 0xff));
    const held_lock writer(image);
    const tool_result second = run_tool({.arguments = arguments});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "can't open dest\n");
    EXPECT_EQ(read_file(image), bytes(5000, 0xff));
  }
  EXPECT_EQ(run_tool({.arguments = arguments}).status, 0);
  EXPECT_EQ(read_file(image), worked_example_image());
}

TEST(Tool, WritesAnImageOver4GiBWithEveryOffsetWhole) {
  // 5 GiB as a hole: 81920 blocks of 64 KiB, the last one past 2^32.
  const scratch_dir dir;
  const std::string image = dir.file("img");
  ASSERT_EQ(run_tool({.arguments = with_dest(image, {"128", "81920", "1", "128", "512"},
                                             {"--preallocation=off"})})
                .status,
            0);
  const std::uint64_t data_start = 88 + 8 * 81920ULL;
  const std::uint64_t last_block = data_start + 81919ULL * 65536;
  EXPECT_EQ(file_size(image), last_block + 65536);
  // The last entry: length 65536 in the top 20 bits, its offset below.
  EXPECT_EQ(big_endian(read_part(image, 80 + 8 * 81919ULL, 8), 0, 8),
            (std::uint64_t{65536} << 44) | last_block);
  const bytes marker = read_part(image, data_start - 8, 8);
  EXPECT_EQ(std::string(marker.begin(), marker.end()), "EndOfLis");
  EXPECT_EQ(read_part(image, last_block + 65530, 10), bytes(6, 0));
  // Read back whole, offsets and length past 32 bits included.
  const tool_result info = run_tool({.arguments = {"--info", image}});
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("file size: " + std::to_string(last_block + 65536) + " bytes"),
            std::string::npos)
      << info.out;
}

}  // namespace
}  // namespace blankimg::test
