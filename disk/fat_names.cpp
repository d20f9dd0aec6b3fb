#include "disk/fat_names.hpp"

#include <algorithm>

#include "disk/ascii.hpp"

namespace blankimg {

namespace {

// Code page 437's upper half, as DOS shows a short name's bytes past ASCII.
constexpr std::array<char16_t, 128> code_page_437 = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7, 0x00ea, 0x00eb, 0x00e8, 0x00ef,
    0x00ee, 0x00ec, 0x00c4, 0x00c5, 0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9,
    0x00ff, 0x00d6, 0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192, 0x00e1, 0x00ed, 0x00f3, 0x00fa,
    0x00f1, 0x00d1, 0x00aa, 0x00ba, 0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255d, 0x255c, 0x255b, 0x2510, 0x2514, 0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f,
    0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256c, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256b, 0x256a, 0x2518, 0x250c, 0x2588, 0x2584, 0x258c, 0x2590, 0x2580,
    0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4, 0x03a6, 0x0398, 0x03a9, 0x03b4,
    0x221e, 0x03c6, 0x03b5, 0x2229, 0x2261, 0x00b1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00f7, 0x2248,
    0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,
};

constexpr std::string_view not_in_long_names = "\"*/:<>?\\|";
// What a short name holds beyond letters and digits.
constexpr std::string_view short_name_marks = "$%'-_@~`!(){}^#&";

// Where a long-name entry keeps its 13 units.
constexpr std::array<std::size_t, units_per_long_entry> unit_offsets = {1,  3,  5,  7,  9,  14, 16,
                                                                        18, 20, 22, 24, 28, 30};

constexpr bool fits_short_name(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         short_name_marks.find(c) != std::string_view::npos;
}

// The next code point of UTF-8 at text[at], moving at on; 0xffffffff where
// the bytes are no UTF-8 (overlong, a surrogate, past U+10FFFF, cut).
std::uint32_t next_code_point(std::string_view text, std::size_t &at) {
  constexpr std::uint32_t invalid = 0xffffffff;
  const auto lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80)
    return lead;
  const std::size_t more = lead >= 0xf0 ? 3 : (lead >= 0xe0 ? 2 : (lead >= 0xc0 ? 1 : 0));
  if (more == 0 || lead > 0xf4 || at + more > text.size())
    return invalid;
  std::uint32_t point = lead & (0x3fU >> more);
  for (std::size_t i = 0; i < more; ++i) {
    const auto next = static_cast<unsigned char>(text[at++]);
    if ((next & 0xc0) != 0x80)
      return invalid;
    point = point << 6 | (next & 0x3fU);
  }
  constexpr std::array<std::uint32_t, 4> fewest = {0, 0x80, 0x800, 0x10000};
  if (point < fewest[more] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
    return invalid;
  return point;
}

}  // namespace

std::size_t utf16_of(std::string_view name, std::span<char16_t, most_name_units> units) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < name.size();) {
    const std::uint32_t point = next_code_point(name, at);
    const std::size_t needed = point >= 0x10000 ? 2 : 1;
    if (point == 0xffffffff || count + needed > units.size())
      return 0;
    if (needed == 2) {
      units[count++] = static_cast<char16_t>(0xd800 + ((point - 0x10000) >> 10));
      units[count++] = static_cast<char16_t>(0xdc00 + ((point - 0x10000) & 0x3ff));
    } else {
      units[count++] = static_cast<char16_t>(point);
    }
  }
  return count;
}

std::size_t utf8_of(std::span<const char16_t> units, std::span<char, most_name_bytes> out) {
  std::size_t length = 0;
  const auto put = [&](std::uint32_t byte) {
    if (length < out.size())
      out[length++] = static_cast<char>(byte);
  };
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t point = units[i];
    if (point >= 0xd800 && point <= 0xdbff && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
        units[i + 1] <= 0xdfff) {
      point = 0x10000 + ((point - 0xd800) << 10) + (units[++i] - 0xdc00U);
    } else if (point >= 0xd800 && point <= 0xdfff) {
      point = 0xfffd;
    }
    if (point < 0x80) {
      put(point);
    } else if (point < 0x800) {
      put(0xc0 | point >> 6);
      put(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
      put(0xe0 | point >> 12);
      put(0x80 | (point >> 6 & 0x3f));
      put(0x80 | (point & 0x3f));
    } else {
      put(0xf0 | point >> 18);
      put(0x80 | (point >> 12 & 0x3f));
      put(0x80 | (point >> 6 & 0x3f));
      put(0x80 | (point & 0x3f));
    }
  }
  return length;
}

bool is_fat_name(std::string_view name) {
  std::array<char16_t, most_name_units> units{};
  if (name == "." || name == ".." || utf16_of(name, units) == 0 || name.back() == ' ' ||
      name.back() == '.')
    return false;
  return std::ranges::none_of(name, [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f ||
           not_in_long_names.find(c) != std::string_view::npos;
  });
}

namespace {

// Copies name[from, to) into room characters of the basis from at on, as
// basis_of says; returns how many it took.
std::size_t copy_basis_part(std::string_view name, std::size_t from, std::size_t to, std::size_t at,
                            std::size_t room, basis_name &basis) {
  std::size_t used = 0;
  for (std::size_t i = from; i < to; ++i) {
    const char c = name[i];
    if (c == ' ' || c == '.') {
      basis.lossy = true;  // dropped, as Windows drops them
      continue;
    }
    const char upper = ascii_upper(c);
    const bool fits = fits_short_name(upper);
    basis.plain = basis.plain && upper == c && fits;
    // A character of several bytes is one "_".
    while (!fits && i + 1 < to && (static_cast<unsigned char>(name[i + 1]) & 0xc0) == 0x80)
      ++i;
    basis.lossy = basis.lossy || !fits || used == room;
    if (used < room)
      basis.name[at + used++] = static_cast<std::uint8_t>(fits ? upper : '_');
  }
  return used;
}

}  // namespace

basis_name basis_of(std::string_view name) {
  basis_name basis{.name = {}, .lossy = false, .plain = true};
  basis.name.fill(' ');
  std::size_t start = 0;
  while (start < name.size() && name[start] == '.')
    ++start;
  const std::size_t dot = name.rfind('.');
  const std::size_t base_end = dot == std::string_view::npos || dot < start ? name.size() : dot;
  const std::size_t base_length = copy_basis_part(name, start, base_end, 0, 8, basis);
  if (base_end < name.size())
    static_cast<void>(copy_basis_part(name, base_end + 1, name.size(), 8, 3, basis));
  if (start != 0 || base_length == 0)
    basis.lossy = true;
  if (base_length == 0)
    basis.name[0] = '_';
  basis.plain = basis.plain && !basis.lossy;
  return basis;
}

short_name with_tail(const short_name &basis, std::uint32_t number) {
  std::array<std::uint8_t, 8> tail{};
  std::size_t tail_length = 0;
  for (std::uint32_t left = number; left > 0 || tail_length == 0; left /= 10)
    tail[tail_length++] = static_cast<std::uint8_t>('0' + left % 10);
  tail[tail_length++] = '~';
  std::size_t base_length = 8;
  while (base_length > 0 && basis[base_length - 1] == ' ')
    --base_length;
  short_name named = basis;
  const std::size_t keep = std::min(base_length, 8 - tail_length);
  std::fill(named.begin() + static_cast<std::ptrdiff_t>(keep), named.begin() + 8, ' ');
  for (std::size_t i = 0; i < tail_length; ++i)
    named[keep + i] = tail[tail_length - 1 - i];
  return named;
}

std::uint32_t tail_of(const short_name &name, const short_name &basis) {
  if (!std::equal(name.begin() + 8, name.end(), basis.begin() + 8))
    return 0;
  std::size_t tilde = 8;
  while (tilde > 0 && name[tilde - 1] != '~')
    --tilde;
  if (tilde == 0)
    return 0;
  --tilde;
  std::uint32_t number = 0;
  std::size_t end = tilde + 1;
  for (; end < 8 && name[end] >= '0' && name[end] <= '9'; ++end)
    number = number * 10 + (name[end] - '0');
  if (end == tilde + 1 || (end < 8 && name[end] != ' ') || name[tilde + 1] == '0')
    return 0;
  // The part before the tilde is the basis's base, as far as it goes.
  if (!std::equal(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(tilde), basis.begin()))
    return 0;
  return with_tail(basis, number) == name ? number : 0;
}

std::size_t short_name_text(const short_name &name, std::uint8_t case_flags,
                            std::span<char, most_name_bytes> out) {
  constexpr std::uint8_t base_lower = 0x08;
  constexpr std::uint8_t extension_lower = 0x10;
  std::array<char16_t, 12> units{};
  std::size_t count = 0;
  const auto add = [&](std::size_t from, std::size_t to, bool lower) {
    std::size_t end = to;
    while (end > from && name[end - 1] == ' ')
      --end;
    for (std::size_t i = from; i < end; ++i) {
      std::uint8_t byte = name[i];
      if (i == 0 && byte == 0x05)
        byte = deleted_mark;  // a first byte of 0xE5 is stored as 0x05
      if (lower && byte >= 'A' && byte <= 'Z')
        byte = static_cast<std::uint8_t>(byte - 'A' + 'a');
      units[count++] = byte < 0x80 ? char16_t{byte} : code_page_437[byte - 0x80U];
    }
    return end > from;
  };
  add(0, 8, (case_flags & base_lower) != 0);
  const std::size_t dot = count;
  units[count++] = '.';
  if (!add(8, 11, (case_flags & extension_lower) != 0))
    count = dot;
  return utf8_of(std::span(units).first(count), out);
}

std::uint8_t long_name_checksum(const short_name &name) {
  std::uint8_t sum = 0;
  for (const std::uint8_t byte : name)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + byte);
  return sum;
}

std::size_t long_name_entries(std::span<const char16_t> units, std::uint8_t checksum,
                              std::span<directory_entry, most_long_entries> out) {
  const std::size_t count = (units.size() + units_per_long_entry - 1) / units_per_long_entry;
  for (std::size_t part = 0; part < count; ++part) {
    directory_entry &entry = out[count - 1 - part];
    entry.fill(0);
    entry[0] = static_cast<std::uint8_t>((part + 1) | (part + 1 == count ? 0x40 : 0));
    entry[11] = long_name_attribute;
    entry[13] = checksum;
    for (std::size_t i = 0; i < units_per_long_entry; ++i) {
      const std::size_t at = part * units_per_long_entry + i;
      // The name ends with a 0 where it does not fill its last entry, then 0xFFFF.
      const char16_t unit = at < units.size() ? units[at] : (at == units.size() ? 0 : 0xffff);
      entry[unit_offsets.at(i)] = static_cast<std::uint8_t>(unit & 0xff);
      entry[unit_offsets.at(i) + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
  }
  return count;
}

void long_entry_units(const directory_entry &entry,
                      std::span<char16_t, units_per_long_entry> part) {
  for (std::size_t i = 0; i < units_per_long_entry; ++i)
    part[i] = static_cast<char16_t>(entry[unit_offsets.at(i)] | entry[unit_offsets.at(i) + 1] << 8);
}

bool same_fat_name(std::string_view a, std::string_view b) {
  return equal_ignoring_case(a, b);
}

}  // namespace blankimg
