#include "engine/job_memory.hpp"

#include <algorithm>

namespace blankimg {

std::uint64_t piece_to_boundary(std::uint64_t position, std::uint64_t left,
                                std::uint32_t piece_size) {
  return std::min(left, piece_size - position % piece_size);
}

}  // namespace blankimg
