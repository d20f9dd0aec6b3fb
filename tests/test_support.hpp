// Scratch directories, whole-file reads and runs of the built tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace blankimg::test {

using bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with everything in it when the object goes.
struct scratch_dir {
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  [[nodiscard]] std::string file(const std::string &name) const { return path + "/" + name; }
  std::string path;
};

[[nodiscard]] bool file_exists(const std::string &path);
[[nodiscard]] bytes read_file(const std::string &path);
void write_file(const std::string &path, const bytes &content);

struct tool_result {
  int status;  // exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

struct tool_run {
  std::vector<std::string> arguments = {};                 // after the program's name
  std::optional<std::string> program_name = std::nullopt;  // argv[0]; the tool's path if unset
  bool empty_argv = false;                                 // run with no argument vector at all
  std::optional<std::uint64_t> file_size_limit = std::nullopt;   // RLIMIT_FSIZE, SIGXFSZ as default
  std::optional<std::string> term = std::nullopt;                // TERM, if not inherited
  std::optional<std::uint16_t> terminal_columns = std::nullopt;  // stderr on a pseudo-terminal
};

// Runs the blankimg executable in a child process and collects what it printed.
[[nodiscard]] tool_result run_tool(const tool_run &run);

// Starts the executable with its output discarded, and waits for it; the
// status is as in tool_result.
[[nodiscard]] int start_tool(const tool_run &run);
[[nodiscard]] int wait_for_tool(int process);

// The command line: the options, then dest and the numbers.
[[nodiscard]] std::vector<std::string> with_dest(const std::string &dest,
                                                 const std::vector<std::string> &numbers,
                                                 std::vector<std::string> options = {});

// blocksize, cylinders, heads, sectors and bytes/sector of the worked example
[[nodiscard]] std::vector<std::string> worked_example_geometry();

// The image the worked example describes: blocksize 2, one cylinder, one
// head, three sectors of 128 bytes.
[[nodiscard]] bytes worked_example_image();

}  // namespace blankimg::test
