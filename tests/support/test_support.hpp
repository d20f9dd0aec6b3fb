// Scratch directories, whole-file reads and runs of the built tool. Paths
// are UTF-8 strings on every system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace blankimg::test {

using bytes = std::vector<std::uint8_t>;

// Whether the tests run where POSIX machinery is there to make failures
// real: file-size limits, an empty argument vector, /dev/full, mounts.
inline constexpr bool posix_machinery = BLANKIMG_TEST_POSIX != 0;

// A UTF-8 path as the file system's own kind of path.
[[nodiscard]] std::filesystem::path to_path(const std::string &utf8);

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
[[nodiscard]] std::uint64_t file_size(const std::string &path);  // 0 when missing
[[nodiscard]] bytes read_file(const std::string &path);
// At most size bytes from offset on.
[[nodiscard]] bytes read_part(const std::string &path, std::uint64_t offset, std::size_t size);
void write_file(const std::string &path, const bytes &content);

struct tool_result {
  int status;  // exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// Only arguments, program_name and terminal-free runs work on every system;
// the rest needs POSIX machinery.
struct tool_run {
  std::vector<std::string> arguments = {};                 // after the program's name
  std::optional<std::string> program_name = std::nullopt;  // argv[0]; the tool's path if unset
  bool empty_argv = false;                                 // run with no argument vector at all
  std::optional<std::uint64_t> file_size_limit = std::nullopt;   // RLIMIT_FSIZE, SIGXFSZ as default
  std::optional<std::uint64_t> stack_limit = std::nullopt;       // RLIMIT_STACK
  std::optional<std::string> term = std::nullopt;                // TERM, if not inherited
  std::optional<std::uint16_t> terminal_columns = std::nullopt;  // stderr on a pseudo-terminal
  std::vector<std::string> wrapper = {};  // a program that runs the tool, as strace does
};

// The built blankimg executable.
[[nodiscard]] std::string tool_path();

// Runs the blankimg executable in a child process and collects what it printed.
[[nodiscard]] tool_result run_tool(const tool_run &run);

// dest held as another run of the tool holds it while it writes: POSIX, an
// flock; Windows, a handle for writing that shares only reading. Let go
// when the object goes.
struct held_lock {
  explicit held_lock(const std::string &path);
  ~held_lock();
  held_lock(const held_lock &) = delete;
  held_lock &operator=(const held_lock &) = delete;
  std::intptr_t handle;  // -1, or INVALID_HANDLE_VALUE, when it could not be had
};

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
