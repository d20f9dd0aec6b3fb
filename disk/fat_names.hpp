// Names as FAT keeps them: a short 8.3 name in every directory entry, and
// a long name in UTF-16 in the VFAT entries before it, as the published
// FAT and VFAT descriptions give them. Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace blankimg {

inline constexpr std::size_t directory_entry_bytes = 32;
using directory_entry = std::array<std::uint8_t, directory_entry_bytes>;
using short_name = std::array<std::uint8_t, 11>;  // base and extension, space-filled

// A long name is at most 255 UTF-16 units; in UTF-8, at most three bytes
// a unit (a pair of surrogates takes four for two).
inline constexpr std::size_t most_name_units = 255;
inline constexpr std::size_t most_name_bytes = 3 * most_name_units;
inline constexpr std::size_t units_per_long_entry = 13;
inline constexpr std::size_t most_long_entries = 20;

// Entry attributes.
inline constexpr std::uint8_t read_only_attribute = 0x01;
inline constexpr std::uint8_t hidden_attribute = 0x02;
inline constexpr std::uint8_t system_attribute = 0x04;
inline constexpr std::uint8_t label_attribute = 0x08;
inline constexpr std::uint8_t directory_attribute = 0x10;
inline constexpr std::uint8_t archive_attribute = 0x20;
inline constexpr std::uint8_t long_name_attribute = 0x0f;

inline constexpr std::uint8_t deleted_mark = 0xe5;

// A name in UTF-8 as UTF-16; 0 where it is no UTF-8, is empty or longer
// than a long name can be.
[[nodiscard]] std::size_t utf16_of(std::string_view name,
                                   std::span<char16_t, most_name_units> units);

// UTF-16 as UTF-8, a lone surrogate as U+FFFD; returns the bytes written.
[[nodiscard]] std::size_t utf8_of(std::span<const char16_t> units,
                                  std::span<char, most_name_bytes> out);

// Whether FAT can hold the name as a long name: UTF-8, 1 to 255 units,
// none a control character or one of " * / : < > ? \ |, not "." or "..",
// not ending in a space or a period, which Windows would drop.
[[nodiscard]] bool is_fat_name(std::string_view name);

// The short name Windows starts from (its basis): the name upper-cased,
// spaces and leading periods dropped, a character 8.3 cannot hold as "_",
// at most 8 characters before the last period and 3 after. Lossy where
// the basis does not say all of the name and needs a ~N tail.
struct basis_name {
  short_name name;
  bool lossy;
  bool plain;  // the name is this short name exactly: no long name is needed
};
[[nodiscard]] basis_name basis_of(std::string_view name);

// The basis with the tail ~number, its base cut to make room.
[[nodiscard]] short_name with_tail(const short_name &basis, std::uint32_t number);

// The tail number of a short name that is the basis's with a tail, or 0.
[[nodiscard]] std::uint32_t tail_of(const short_name &name, const short_name &basis);

// The short name as DOS shows it, "NAME.EXT", its bytes past ASCII as code
// page 437 has them, in UTF-8; lower case where the entry's flags (byte
// 12, as Windows NT sets it) say so. Returns the bytes written.
[[nodiscard]] std::size_t short_name_text(const short_name &name, std::uint8_t case_flags,
                                          std::span<char, most_name_bytes> out);

// The checksum of the short name that long-name entries carry.
[[nodiscard]] std::uint8_t long_name_checksum(const short_name &name);

// The long-name entries for units, in the order they stand on disk (the
// last part first); returns how many.
[[nodiscard]] std::size_t long_name_entries(std::span<const char16_t> units, std::uint8_t checksum,
                                            std::span<directory_entry, most_long_entries> out);

// Fills the 13 units a long-name entry holds into part; false where it is
// no long-name entry.
void long_entry_units(const directory_entry &entry, std::span<char16_t, units_per_long_entry> part);

// Two names the same to FAT, which folds ASCII letters alone.
[[nodiscard]] bool same_fat_name(std::string_view a, std::string_view b);

}  // namespace blankimg
