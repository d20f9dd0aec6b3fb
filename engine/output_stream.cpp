#include "engine/output_stream.hpp"

#include <span>

namespace blankimg {

std::uint32_t fseekwrite(output_stream &stream, std::uint64_t position, std::uint32_t count,
                         const void *data) {
  if (!stream.positioned && stream.position != position)
    return 0;
  const std::span bytes(static_cast<const std::uint8_t *>(data), count);
  const std::size_t written = stream.positioned ? platform::write_at(stream.handle, position, bytes)
                                                : platform::write_next(stream.handle, bytes);
  if (written == count)
    stream.position = position + count;
  else
    stream.position.reset();  // a short write leaves the next position unknown
  return static_cast<std::uint32_t>(written);
}

int write_header(output_stream &stream, const image_header &header) {
  const header_image bytes = serialise_header(header);
  return fseekwrite(stream, 0, header_length, bytes.data()) == header_length ? 0 : 1;
}

}  // namespace blankimg
