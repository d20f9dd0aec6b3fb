// What the fuzzers share: a failed property aborts, and numbers are taken
// from the front of the input, zeros once it runs out.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>

namespace blankimg::fuzz {

inline void require(bool property) {
  if (!property)
    std::abort();
}

inline std::uint64_t take(std::span<const std::uint8_t> &input, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes && !input.empty(); ++i) {
    value = value << 8 | input[0];
    input = input.subspan(1);
  }
  return value;
}

}  // namespace blankimg::fuzz
