// What differs between operating systems in handling the destination file.
// One implementation file per system; the build picks the one that fits.
#pragma once

#include <cstdint>
#include <cstdio>

namespace blankimg::platform {

// Moves the stream to an absolute position; false when it cannot get there,
// a position past what the system's file offsets can name included.
[[nodiscard]] bool seek(std::FILE *file, std::uint64_t position);

enum class space_result {
  done,
  unsupported,  // this file or its file system has no such call: write zeros instead
  failed,       // no room, a size limit, or an I/O error
};

// Gives [offset, offset + length) disk space that reads as zeros without
// writing it, and makes the file that long.
[[nodiscard]] space_result reserve_space(std::FILE *file, std::uint64_t offset,
                                         std::uint64_t length);

// Makes the file length bytes long; the new tail is a hole that reads as
// zeros and takes no disk space until it is written.
[[nodiscard]] space_result extend_sparse(std::FILE *file, std::uint64_t length);

}  // namespace blankimg::platform
