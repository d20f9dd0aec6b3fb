#include "tests/test_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace blankimg::test {

namespace {

// In the child: standard output and error to the given descriptors, then
// the tool.
[[noreturn]] void exec_tool(const tool_run &run, int out_fd, int err_fd) {
  if (run.file_size_limit) {
    const rlimit limit{.rlim_cur = *run.file_size_limit, .rlim_max = *run.file_size_limit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || std::signal(SIGXFSZ, SIG_DFL) == SIG_ERR)
      _exit(125);
  }
  if (run.term && setenv("TERM", run.term->c_str(), 1) != 0)
    _exit(125);
  if (out_fd < 0 || err_fd < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(err_fd, STDERR_FILENO) < 0)
    _exit(125);
  std::string name = run.program_name.value_or(BLANKIMG_PATH);
  std::vector<char *> argv;
  if (!run.empty_argv) {
    argv.push_back(name.data());
    for (const std::string &argument : run.arguments)
      argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  execv(BLANKIMG_PATH, argv.data());
  _exit(126);
}

int open_capture(const std::string &path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

// Everything the other side of a pseudo-terminal wrote, up to its last close.
std::string read_terminal(int controller) {
  std::string text;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = read(controller, chunk.data(), chunk.size());
    if (got > 0)
      text.append(chunk.data(), static_cast<std::size_t>(got));
    else if (got == 0 || errno != EINTR)
      return text;  // Linux answers EIO once the last descriptor of the other side is closed
  }
}

int exit_status(pid_t child) {
  int wait_status = 0;
  if (child < 0 || waitpid(child, &wait_status, 0) != child)
    return -1;
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

}  // namespace

scratch_dir::scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "blankimg-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    std::abort();
  path = pattern;
}

scratch_dir::~scratch_dir() {
  std::filesystem::remove_all(path);
}

bool file_exists(const std::string &path) {
  return std::filesystem::exists(path);
}

bytes read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const bytes &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

tool_result run_tool(const tool_run &run) {
  const scratch_dir capture;
  const std::string out = capture.file("stdout");
  const std::string err = capture.file("stderr");
  int controller = -1;
  int terminal = -1;
  if (run.terminal_columns) {
    winsize size{.ws_row = 24, .ws_col = *run.terminal_columns, .ws_xpixel = 0, .ws_ypixel = 0};
    termios raw{};  // no "\r" added before each "\n": the test sees what the tool wrote
    cfmakeraw(&raw);
    if (openpty(&controller, &terminal, nullptr, &raw, &size) != 0)
      return {-1, "", "openpty failed"};
  }
  const pid_t child = fork();
  if (child == 0)
    exec_tool(run, open_capture(out), terminal >= 0 ? terminal : open_capture(err));
  std::string on_terminal;
  if (terminal >= 0) {
    close(terminal);
    on_terminal = read_terminal(controller);
    close(controller);
  }
  const int status = exit_status(child);
  const bytes printed = read_file(out);
  const bytes complaint = read_file(err);
  return {status, std::string(printed.begin(), printed.end()),
          terminal >= 0 ? on_terminal : std::string(complaint.begin(), complaint.end())};
}

int start_tool(const tool_run &run) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    exec_tool(run, null, null);
  }
  return child;
}

int wait_for_tool(int process) {
  return exit_status(process);
}

std::vector<std::string> with_dest(const std::string &dest, const std::vector<std::string> &numbers,
                                   std::vector<std::string> options) {
  options.push_back(dest);
  options.insert(options.end(), numbers.begin(), numbers.end());
  return options;
}

std::vector<std::string> worked_example_geometry() {
  return {"2", "1", "1", "3", "128"};
}

bytes worked_example_image() {
  bytes image = {
      'T',  'a',  'v',  'r',  'e',  'l',  'i',  'n',   // magic tag
      0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x02,  // header length, fixed word a
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // fixed words b and c
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02,  // blocksize, block count
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,  // cylinders, heads
      0x00, 0x00, 0x00, 0x03,                          // sectors per track
  };
  image.resize(76);  // the two zero blocks
  const bytes tail = {
      0x00, 0x00, 0x00, 0x80,                          // bytes per sector
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x68,  // block 0: 256 bytes at 104
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01, 0x68,  // block 1: 256 bytes at 360
      'E',  'n',  'd',  'O',  'f',  'L',  'i',  's',   // end of list
  };
  image.insert(image.end(), tail.begin(), tail.end());
  image.resize(616);  // two blocks of zeros
  return image;
}

}  // namespace blankimg::test
