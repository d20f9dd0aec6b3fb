// The PC's own byte order, in which the MBR and FAT store their numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace blankimg {

// Stores the low size bytes of value at out[at], least significant first.
template <std::size_t size>
constexpr void put_little_endian(std::span<std::uint8_t> out, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < size; ++i)
    out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <std::size_t size>
[[nodiscard]] constexpr std::uint64_t get_little_endian(std::span<const std::uint8_t> bytes,
                                                        std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = value << 8 | bytes[at + i];
  return value;
}

}  // namespace blankimg
