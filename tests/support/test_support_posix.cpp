// Runs of the tool as POSIX makes them: fork, and exec with the limits,
// descriptors and environment a test asks for.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "tests/support/test_support.hpp"

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
  if (run.stack_limit) {
    const rlimit limit{.rlim_cur = *run.stack_limit, .rlim_max = *run.stack_limit};
    if (setrlimit(RLIMIT_STACK, &limit) != 0)
      _exit(125);
  }
  if (run.term && setenv("TERM", run.term->c_str(), 1) != 0)
    _exit(125);
  if (out_fd < 0 || err_fd < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(err_fd, STDERR_FILENO) < 0)
    _exit(125);
  std::string name = run.program_name.value_or(BLANKIMG_PATH);
  std::vector<char *> argv;
  for (const std::string &word : run.wrapper)
    argv.push_back(const_cast<char *>(word.c_str()));
  if (!run.empty_argv) {
    argv.push_back(name.data());
    for (const std::string &argument : run.arguments)
      argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  if (!run.wrapper.empty())
    execvp(argv[0], argv.data());
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

std::string tool_path() {
  return BLANKIMG_PATH;
}

held_lock::held_lock(const std::string &path)
    : handle(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) {
  if (handle >= 0 && flock(static_cast<int>(handle), LOCK_EX) != 0) {
    close(static_cast<int>(handle));
    handle = -1;
  }
}

held_lock::~held_lock() {
  if (handle >= 0)
    close(static_cast<int>(handle));
}

}  // namespace blankimg::test
