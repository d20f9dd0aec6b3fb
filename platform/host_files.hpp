// The host's own files and directories, as files are copied into a
// volume and out of one: names in UTF-8 here, whatever the system takes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/system.hpp"

namespace blankimg::platform {

enum class host_kind : std::uint8_t {
  file,
  directory,
  other,  // a symbolic link, device, FIFO or socket: never followed
};

struct host_status {
  host_kind kind;
  std::uint64_t size;     // of a file
  std::int64_t modified;  // seconds since 1970, UTC
  bool writable;          // a write bit is set (Windows: not read-only)
};

// What path is, the link itself where it is a link; false where it cannot
// be had.
[[nodiscard]] bool look_at(const char *path, host_status &status);

// A directory being listed.
struct host_directory {
  std::intptr_t handle;
  bool first_pending;  // Windows: the first name is found at the open
  std::array<char, 1024> name;
  alignas(8) std::array<std::uint8_t, 600> system_state;
};

[[nodiscard]] bool open_host_directory(const char *path, host_directory &directory);

// The next name in the directory, never "." or ".."; none at the end, with
// failed set where the listing broke off.
[[nodiscard]] const char *next_host_name(host_directory &directory, bool &failed);

void close_host_directory(host_directory &directory);

// Makes the directory, or finds it there already; false where it cannot
// be had, or path is something else.
[[nodiscard]] bool make_host_directory(const char *path);

// Creates a file to fill: false where it exists, unless replace, or where
// it cannot be created.
[[nodiscard]] bool create_host_file(const char *path, bool replace, file_handle &file);

// Closes a file made by create_host_file, length bytes long; false where
// that fails.
[[nodiscard]] bool finish_host_file(file_handle file, std::uint64_t length);

// Gives path the modification time, and takes its write bits where it is
// to be read-only.
[[nodiscard]] bool set_host_times(const char *path, std::int64_t modified, bool read_only);

}  // namespace blankimg::platform
