#include "tool/io_buffer.hpp"

#include <algorithm>
#include <array>

namespace blankimg {

io_buffer_span io_buffer() {
  static std::array<std::uint8_t, io_buffer_size> buffer;
  return buffer;
}

std::uint64_t piece_to_boundary(std::uint64_t position, std::uint64_t left) {
  return std::min(left, io_buffer_size - position % io_buffer_size);
}

}  // namespace blankimg
