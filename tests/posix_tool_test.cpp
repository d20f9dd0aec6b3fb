// The tool among other processes: a second run on a locked image, a reader
// that goes away, syncing, and the progress line on a terminal and a pipe.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/test_support.hpp"

namespace blankimg::test {
namespace {

// 2 GiB: long enough a write that a run can be caught at it
std::vector<std::string> two_gib_disk() {
  return {"64", "4161", "16", "63", "512"};
}
constexpr std::uint64_t two_gib_blocks = (4161ULL * 16 * 63 + 63) / 64;  // 65536
constexpr std::uint64_t two_gib_image = 88 + 8 * two_gib_blocks + two_gib_blocks * 32768;

std::uint64_t file_size(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

bytes read_prefix(const std::string &path, std::size_t size) {
  bytes prefix(size);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char *>(prefix.data()), static_cast<std::streamsize>(size));
  prefix.resize(static_cast<std::size_t>(in.gcount()));
  return prefix;
}

TEST(PosixTool, ASecondRunOnALockedImageFailsAtOnceAndLeavesTheFirstWhole) {
  const scratch_dir dir;
  const std::string image = dir.file("img");
  const int first =
      start_tool({.arguments = with_dest(image, two_gib_disk(), {"--preallocation=full"})});
  // Caught at work: its header is out, so it holds the lock, and it is
  // still far from done.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (file_size(image) < 80 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  ASSERT_EQ(kill(first, SIGSTOP), 0);
  ASSERT_LT(file_size(image), two_gib_image) << "the first run ended before it was caught";

  const tool_result second = run_tool({.arguments = with_dest(image, worked_example_geometry())});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, "can't open dest\n");

  ASSERT_EQ(kill(first, SIGCONT), 0);
  EXPECT_EQ(wait_for_tool(first), 0);
  EXPECT_EQ(file_size(image), two_gib_image);
  const bytes header = read_prefix(image, 32);
  const bytes block_count = {0x00, 0x01, 0x00, 0x00};
  EXPECT_TRUE(std::equal(block_count.begin(), block_count.end(), header.begin() + 28));
}

TEST(PosixTool, AReaderThatGoesAwayIsAWriteError) {
  const scratch_dir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    // Takes the header's first bytes, then leaves with the pipe still full.
    std::ifstream in(fifo, std::ios::binary);
    std::vector<char> some(100);
    in.read(some.data(), static_cast<std::streamsize>(some.size()));
    _exit(0);
  }
  const tool_result result =
      run_tool({.arguments = with_dest(fifo, {"64", "4", "16", "63", "512"})});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "write error\n");
  int reader_status = 0;
  EXPECT_EQ(waitpid(reader, &reader_status, 0), reader);
}

// The paths the tool passed to fsync, as strace -y names its descriptors.
std::vector<std::string> synced_paths(const std::string &trace) {
  std::vector<std::string> paths;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    const std::size_t open = line.find("fsync(");
    const std::size_t from = line.find('<', open);
    const std::size_t to = line.find('>', from);
    if (open != std::string::npos && from != std::string::npos && to != std::string::npos &&
        line.find("= 0") != std::string::npos)
      paths.push_back(line.substr(from + 1, to - from - 1));
  }
  return paths;
}

TEST(PosixTool, SyncFlushesTheImageAndTheDirectoryOfANewOne) {
  // The commands are fixed text and scratch paths that the test made itself.
  if (std::system("strace -V >/dev/null 2>&1") != 0)  // NOLINT(cert-env33-c)
    GTEST_SKIP() << "strace is needed to see the fsync calls";
  struct example {
    std::vector<std::string> options;
    bool existing;
    bool image_synced;
    bool directory_synced;
  };
  const example examples[] = {
      {{"--sync"}, false, true, true},
      {{"--sync", "--preallocation=off"}, true, true, false},
      {{}, false, false, false},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    const std::string image = dir.file("img");
    if (e.existing)
      write_file(image, bytes(10, 1));
    std::string shell = "strace -y -e trace=fsync -o " + dir.file("trace") + " " + BLANKIMG_PATH;
    for (const std::string &argument : with_dest(image, worked_example_geometry(), e.options))
      shell += " " + argument;
    ASSERT_EQ(std::system(shell.c_str()), 0) << shell;  // NOLINT(cert-env33-c)
    EXPECT_EQ(read_file(image), worked_example_image());
    const std::vector<std::string> synced = synced_paths(dir.file("trace"));
    EXPECT_EQ(std::ranges::count(synced, image) == 1, e.image_synced) << shell;
    EXPECT_EQ(std::ranges::count(synced, dir.path) == 1, e.directory_synced) << shell;
  }
}

TEST(PosixTool, ProgressRedrawsOneLineOnATerminalAndPrintsPlainLinesElsewhere) {
  struct example {
    const char *where;
    std::vector<std::string> options;
    std::optional<std::uint16_t> columns;
    const char *term;
    bool redrawn;
  };
  constexpr std::uint16_t columns = 30;
  const example examples[] = {
      {"terminal", {"--progress"}, columns, "xterm", true},
      {"dumb terminal", {"--progress"}, columns, "dumb", false},
      {"file", {"--progress"}, std::nullopt, "xterm", false},
      {"terminal, not asked", {}, columns, "xterm", false},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    const tool_result result = run_tool(
        {.arguments = with_dest(dir.file("img"), {"64", "64", "16", "63", "512"}, e.options),
         .term = e.term,
         .terminal_columns = e.columns});
    EXPECT_EQ(result.status, 0) << e.where;
    const std::string &shown = result.err;
    if (e.options.empty()) {
      EXPECT_EQ(shown, "") << e.where;
      continue;
    }
    EXPECT_TRUE(shown.ends_with("\n")) << e.where << ": " << shown;
    EXPECT_NE(shown.find("(100%)"), std::string::npos) << e.where << ": " << shown;
    EXPECT_EQ(shown.find('\r') != std::string::npos, e.redrawn) << e.where;
    EXPECT_EQ(shown.find("\x1b[K") != std::string::npos, e.redrawn) << e.where;
    if (e.redrawn) {
      // Each redraw: "\r", at most one column short of the width, "\x1b[K".
      for (std::size_t at = shown.find('\r'); at != std::string::npos;
           at = shown.find('\r', at + 1))
        EXPECT_LT(shown.find("\x1b[K", at) - at - 1, std::size_t{columns}) << shown;
    }
  }
}

}  // namespace
}  // namespace blankimg::test
