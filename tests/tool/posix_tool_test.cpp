// The tool among other processes: a reader that goes away, syncing, and the
// progress line on a terminal and a pipe.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.hpp"

namespace blankimg::test {
namespace {

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

std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// The commands are fixed text and scratch paths that the tests made themselves.
int run_shell(const std::string &command) {
  return std::system(command.c_str());  // NOLINT(cert-env33-c)
}

bool have_strace() {
  return run_shell("strace -V >/dev/null 2>&1") == 0;
}

// A shell command that runs the tool under strace with the given options.
// LeakSanitizer, in a sanitizer build, cannot work under ptrace.
std::string traced(const std::string &strace_options, const std::vector<std::string> &arguments) {
  std::string shell = "ASAN_OPTIONS=detect_leaks=0 strace " + strace_options + " " + tool_path();
  for (const std::string &argument : arguments)
    shell += " '" + argument + "'";
  return shell;
}

TEST(PosixTool, SyncFlushesTheImageAndTheDirectoryOfANewOne) {
  if (!have_strace())
    GTEST_SKIP() << "strace is needed to see the fsync calls";
  struct example {
    std::vector<std::string> options;
    bool existing;
    bool image_synced;
    bool directory_synced;
    bool through_link = false;  // dest: a link to sub/img, which does not exist yet
    const char *redirect = "";
  };
  const example examples[] = {
      {{"--sync"}, false, true, true},
      {{"--sync", "--preallocation=off"}, true, true, false},
      {{}, false, false, false},
      {{"--sync"}, false, true, true, true},  // the entry made in sub is synced
      // Standard error closed: were the image to take descriptor 2, a
      // message or a progress line would land in it.
      {{"--sync", "--progress"}, false, true, true, false, " 2>&-"},
  };
  for (const example &e : examples) {
    const scratch_dir top;
    const std::string dir = e.through_link ? top.file("sub") : top.path;
    const std::string image = dir + "/img";
    ASSERT_TRUE(!e.through_link || (mkdir(dir.c_str(), 0700) == 0 &&
                                    symlink("sub/img", top.file("link").c_str()) == 0));
    if (e.existing)
      write_file(image, bytes(10, 1));
    const std::string shell =
        traced("-y -e trace=fsync -e status=successful -o " + top.file("trace"),
               with_dest(e.through_link ? top.file("link") : image, worked_example_geometry(),
                         e.options)) +
        e.redirect;
    ASSERT_EQ(run_shell(shell), 0) << shell;
    EXPECT_EQ(read_file(image), worked_example_image());
    // Calls that succeeded, each descriptor named by its path: "fsync(3</tmp/x/img>)".
    const bytes trace = read_file(top.file("trace"));
    const std::string calls(trace.begin(), trace.end());
    EXPECT_EQ(occurrences(calls, "<" + image + ">)") == 1, e.image_synced) << calls;
    EXPECT_EQ(occurrences(calls, "<" + dir + ">)") == 1, e.directory_synced) << calls;
    EXPECT_EQ(calls.find("(2<"), std::string::npos) << calls;  // never a standard descriptor
  }
}

// Each call on the image whose result the tool checks, failed by strace on
// any file system, and standard streams on /dev/full or closed: one message,
// its status, and the file as far as the run got. A file system that cannot
// lengthen a file (EPERM) gets zeros instead.
TEST(PosixTool, ReportsEachFailedCallAndLeavesTheFileAsFarAsItGot) {
  if (!have_strace())
    GTEST_SKIP() << "strace is needed to make the calls fail";
  struct example {
    const char *fault;  // strace's inject= argument, "" for none
    std::vector<std::string> options;
    const char *message;
    std::uint64_t length_left;  // 0 when there is no file
    std::vector<std::string> numbers = worked_example_geometry();
    const char *redirect = "";
  };
  const std::vector<std::string> hard_disk = {"64", "4", "16", "63", "512"};
  const example examples[] = {
      {"openat:error=EACCES", {}, "can't open dest\n", 0},
      {"flock:error=EAGAIN", {}, "can't open dest\n", 0},
      // 32-bit hosts call fcntl64 and ftruncate64.
      {"fcntl,fcntl64:error=EAGAIN", {}, "can't open dest\n", 0},
      {"ftruncate,ftruncate64:error=EIO", {"--preallocation=off"}, "write error\n", 104},
      {"ftruncate,ftruncate64:error=EPERM", {"--preallocation=off"}, "", 616},
      // No room is no fallback, and no final progress line either.
      {"fallocate:error=ENOSPC", {"--progress"}, "write error\n", 104},
      {"fsync:error=EIO", {"--sync"}, "write error\n", 616},
      {"close:error=EIO", {}, "write error\n", 616},
      // Zeros that ran out are given back: the file ends at the marker.
      {"pwrite64,write:error=ENOSPC:when=5",
       {"--preallocation=full"},
       "write error\n",
       592,
       hard_disk},
      {"", {"--version"}, "write error\n", 0, {}, ">/dev/full"},
      // Standard output closed: a result that cannot be printed fails too.
      {"", {"--version"}, "write error\n", 0, {}, ">&-"},
      {"", {"--help"}, "write error\n", 0, {}, ">&-"},
      {"", {"--dry-run", "--output=json"}, "write error\n", 0, worked_example_geometry(), ">&-"},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    const std::string image = dir.file("img");
    const std::string fault =
        *e.fault == '\0' ? "" : " -P " + image + " -e inject='" + e.fault + "'";
    const std::string shell =
        traced("-o /dev/null" + fault, with_dest(image, e.numbers, e.options)) + " 2>" +
        dir.file("err") + e.redirect;
    const int status = run_shell(shell);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, *e.message == '\0' ? 0 : 1) << shell;
    const bytes err = read_file(dir.file("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()), e.message) << shell;
    EXPECT_EQ(file_size(image), e.length_left) << shell;
    if (*e.message == '\0') {
      EXPECT_EQ(read_file(image), worked_example_image()) << shell;
    }
  }
}

// An emulator's lock on dest refuses the run before anything is cut, even
// the blocks reserved past the end of an empty file; once it is gone, the
// cut frees them.
TEST(PosixTool, RefusesALockedDestinationAndFreesBlocksReservedPastItsEnd) {
  const scratch_dir dir;
  const std::string image = dir.file("img");
  const auto allocated = [&image] {
    struct stat status {};
    return stat(image.c_str(), &status) == 0 ? status.st_blocks * 512 : -1;
  };
  const int emulator = open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(emulator, F_OFD_SETLK, &whole), 0);
  ASSERT_EQ(fallocate(emulator, FALLOC_FL_KEEP_SIZE, 0, 16 << 20), 0);
  const std::vector<std::string> arguments =
      with_dest(image, worked_example_geometry(), {"--preallocation=off"});
  const tool_result locked = run_tool({.arguments = arguments});
  const std::string in_use =
      "can't open dest\nblankimg: " + image + ": in use: another program holds it locked\n";
  EXPECT_EQ(locked.status, 1);
  EXPECT_EQ(locked.err, in_use);
  EXPECT_GE(allocated(), 16 << 20);
  close(emulator);
  // A reader's lease is refused at once, not waited on until the kernel
  // breaks it; the break it starts is only a signal, ignored here.
  const int reader = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(signal(SIGIO, SIG_IGN), SIG_ERR);
  ASSERT_EQ(fcntl(reader, F_SETLEASE, F_RDLCK), 0);
  const tool_result leased = run_tool({.arguments = arguments});
  EXPECT_EQ(leased.status, 1);
  EXPECT_EQ(leased.err, in_use);
  EXPECT_GE(allocated(), 16 << 20);
  close(reader);
  ASSERT_EQ(run_tool({.arguments = arguments}).status, 0);
  EXPECT_EQ(read_file(image), worked_example_image());
  EXPECT_LT(allocated(), 1 << 20);
}

TEST(PosixTool, ProgressRedrawsOneLineOnATerminalAndPrintsPlainLinesElsewhere) {
  struct example {
    const char *where;
    std::vector<std::string> options;
    std::optional<std::uint16_t> columns;
    const char *term;
    bool redrawn;
  };
  if (!have_strace())
    GTEST_SKIP() << "strace is needed to slow the writes until the line is redrawn";
  constexpr std::uint16_t columns = 30;
  const example examples[] = {
      {"terminal", {"--progress"}, columns, "xterm", true},
      {"dumb terminal", {"--progress"}, columns, "dumb", false},
      {"file", {"--progress"}, std::nullopt, "xterm", false},
      {"terminal, not asked", {}, columns, "xterm", false},
  };
  for (const example &e : examples) {
    const scratch_dir dir;
    // Each write of the header, the map and the marker slowed past the
    // 100 ms between redraws.
    const tool_result result = run_tool(
        {.arguments = with_dest(dir.file("img"), {"64", "64", "16", "63", "512"}, e.options),
         .term = e.term,
         .terminal_columns = e.columns,
         .wrapper = e.redrawn ? std::vector<std::string>{"env", "ASAN_OPTIONS=detect_leaks=0",
                                                         "strace", "-o", "/dev/null", "-e",
                                                         "inject=pwrite64:delay_exit=120ms"}
                              : std::vector<std::string>{}});
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
      // Each redraw: "\r", at most one column short of the width, "\x1b[K";
      // the final line whole, though it wraps.
      const std::size_t last = shown.rfind('\r');
      EXPECT_NE(shown.find('\r'), last) << "no line redrawn before the last: " << shown;
      for (std::size_t at = shown.find('\r'); at != last; at = shown.find('\r', at + 1))
        EXPECT_LT(shown.find("\x1b[K", at) - at - 1, std::size_t{columns}) << shown;
      EXPECT_NE(shown.find("done in", last), std::string::npos) << shown;
    }
  }
}

}  // namespace
}  // namespace blankimg::test
