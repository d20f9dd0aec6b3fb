// The one way bytes reach an image: positioned writes on the platform's
// handle, or, for a pipe or a device that cannot take them, writes that
// follow each other.
#pragma once

#include <cstdint>
#include <optional>

#include "image/image_format.hpp"
#include "platform/system.hpp"

namespace blankimg {

struct output_stream {
  platform::file_handle handle;
  bool positioned;  // takes writes at any offset
  // Where a write that follows on lands, when that is known: a destination
  // that is not positioned takes only those.
  std::optional<std::uint64_t> position;
};

// Writes count bytes at the absolute position. Returns the number of bytes
// written: 0 when the stream cannot be written there, fewer than count when
// the write falls short.
[[nodiscard]] std::uint32_t fseekwrite(output_stream &stream, std::uint64_t position,
                                       std::uint32_t count, const void *data);

// Serialises the header and writes it at position 0. Returns 0 when all of
// it was written, 1 otherwise.
[[nodiscard]] int write_header(output_stream &stream, const image_header &header);

}  // namespace blankimg
