#include "tool/io_buffer.hpp"

#include <algorithm>
#include <array>

namespace blankimg {

io_buffer_span io_buffer() {
  static std::array<std::uint8_t, io_buffer_size> buffer;
  return buffer;
}

std::uint64_t piece_to_boundary(std::uint64_t position, std::uint64_t left,
                                std::uint32_t piece_size) {
  return std::min(left, piece_size - position % piece_size);
}

}  // namespace blankimg
