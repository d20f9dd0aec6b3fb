#include "tool/describe.hpp"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

#include "disk/fat_check.hpp"
#include "disk/fat_names.hpp"
#include "tool/human_size.hpp"

namespace blankimg {

namespace {

// A header's four 32-bit factors can name up to 2^128 bytes of disk. No
// 128-bit type is there on every host, so the product is kept in 32-bit
// limbs, the least significant first.
using wide_bytes = std::array<std::uint32_t, 4>;

wide_bytes virtual_size(const image_header &header) {
  wide_bytes product = {1, 0, 0, 0};
  for (const std::uint32_t factor :
       {header.cylinders, header.heads, header.sectors, header.bytes_per_sector}) {
    std::uint64_t carry = 0;
    for (std::uint32_t &limb : product) {
      const std::uint64_t part = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(part);
      carry = part >> 32;
    }
  }
  return product;
}

double approximately(const wide_bytes &value) {
  double sum = 0;
  for (auto limb = value.rbegin(); limb != value.rend(); ++limb)
    sum = sum * 4294967296.0 + *limb;
  return sum;
}

// Divides value by 10, and returns the remainder.
unsigned divide_by_ten(wide_bytes &value) {
  std::uint64_t remainder = 0;
  for (auto limb = value.rbegin(); limb != value.rend(); ++limb) {
    const std::uint64_t part = remainder << 32 | *limb;
    *limb = static_cast<std::uint32_t>(part / 10);
    remainder = part % 10;
  }
  return static_cast<unsigned>(remainder);
}

using number_text = std::array<char, 40>;  // 2^128 has 39 digits

const char *decimal(number_text &text, wide_bytes value) {
  std::size_t at = text.size() - 1;
  text[at] = '\0';
  do {
    text[--at] = static_cast<char>('0' + divide_by_ten(value));
  } while (value != wide_bytes{});
  return text.data() + at;
}

using finding_text = std::array<char, 128>;

// A result printf says nothing more about here: text is cut, never overrun.
void keep(int /*printed*/) {}

void format_finding(finding_text &text, const finding &found, const image_description &image) {
  const image_header &header = image.header;
  // Each message through snprintf itself, so that the compiler checks its
  // format. A message too long is cut, never overrun.
  char *const out = text.data();
  const std::size_t room = text.size();
  switch (found.kind) {
  case finding_kind::wrong_header_length:
    return keep(
        std::snprintf(out, room, "header length is %" PRIu32 ", not 80", header.header_length));
  case finding_kind::wrong_blocksize:
    return keep(std::snprintf(out, room, "block size is %" PRIu32 " sectors, not 1 to 2047",
                              header.blocksize));
  case finding_kind::disk_too_large: {
    number_text bytes{};
    return keep(std::snprintf(out, room, "the disk's %s bytes are more than any file holds",
                              decimal(bytes, virtual_size(header))));
  }
  case finding_kind::zero_geometry:
    return keep(std::snprintf(out, room, "%s", "a cylinder, head or sector count is 0"));
  case finding_kind::wrong_block_count: {
    // Found only where the block size and geometry are valid.
    const auto needed =
        count_blocks(header.cylinders, header.heads, header.sectors, header.blocksize);
    if (!needed)
      return keep(std::snprintf(
          out, room, "block count is %" PRIu32 ", but the geometry needs more than 4294967295",
          header.block_count));
    return keep(std::snprintf(out, room,
                              "block count is %" PRIu32 ", but the geometry needs %" PRIu32,
                              header.block_count, *needed));
  }
  case finding_kind::too_short:
    return keep(std::snprintf(
        out, room,
        "file ends at byte %" PRIu64 ", before the end of the block map and marker at %" PRIu64,
        image.file_size, end_marker_offset(header.block_count) + map_entry_size));
  case finding_kind::marker:
    return keep(std::snprintf(out, room, "%s", "end-of-list marker is not \"EndOfLis\""));
  case finding_kind::entry_in_layout:
    return keep(std::snprintf(
        out, room, "block %" PRIu32 " lies in the header, block map or marker", found.block));
  case finding_kind::entry_past_end:
    return keep(std::snprintf(out, room, "block %" PRIu32 " reaches past the end of the file",
                              found.block));
  case finding_kind::entry_too_long:
    return keep(std::snprintf(out, room, "block %" PRIu32 " is longer than a block", found.block));
  case finding_kind::entry_empty:
    return keep(std::snprintf(out, room, "block %" PRIu32 " holds no bytes", found.block));
  case finding_kind::entry_overlaps:
    return keep(std::snprintf(out, room, "block %" PRIu32 " shares bytes with block %" PRIu32,
                              found.block, found.other));
  }
}

const char *why_not_as_created(layout_difference difference) {
  switch (difference) {
  case layout_difference::other_header:
    return "a header word other than blankimg writes";
  case layout_difference::too_large:
    return "larger than blankimg makes them";
  case layout_difference::trailing_bytes:
    return "bytes after the last block";
  case layout_difference::short_file:
    return "the file ends inside the last block";
  case layout_difference::block_order:
    return "blocks in another order or of another length";
  case layout_difference::none:
  case layout_difference::damaged:
    break;
  }
  return "damaged";
}

// A volume's finding, as fsck.fat would name it.
void format_volume_finding(finding_text &text, std::size_t volume, const volume_finding &found) {
  char *const out = text.data();
  const std::size_t room = text.size();
  const std::uint64_t where = found.where;
  const auto number = static_cast<unsigned>(volume + 1);
  switch (found.problem) {
  case volume_problem::boot_sector:
    return keep(
        std::snprintf(out, room, "volume %u: the boot sector does not fit the volume", number));
  case volume_problem::fats_differ:
    return keep(std::snprintf(out, room, "volume %u: the FATs differ, from sector %" PRIu64, number,
                              where));
  case volume_problem::chain_outside:
    return keep(std::snprintf(
        out, room, "volume %u: a chain leaves the volume or is cut after cluster %" PRIu64, number,
        where));
  case volume_problem::chain_loop:
    return keep(std::snprintf(out, room, "volume %u: a chain loops back to cluster %" PRIu64,
                              number, where));
  case volume_problem::cross_linked:
    return keep(
        std::snprintf(out, room, "volume %u: cluster %" PRIu64 " is in two chains", number, where));
  case volume_problem::directory_loop:
    return keep(std::snprintf(
        out, room, "volume %u: the directory at cluster %" PRIu64 " holds itself", number, where));
  case volume_problem::bad_entry:
    return keep(std::snprintf(
        out, room, "volume %u: a directory entry names cluster %" PRIu64 ", outside the volume",
        number, where));
  case volume_problem::size_mismatch:
    return keep(std::snprintf(
        out, room, "volume %u: the file at cluster %" PRIu64 " has a size its chain does not fit",
        number, where));
  case volume_problem::lost_clusters:
    return keep(std::snprintf(out, room, "volume %u: %" PRIu64 " lost clusters, in no chain",
                              number, where));
  case volume_problem::free_count_wrong:
    return keep(std::snprintf(out, room,
                              "volume %u: FSInfo counts %" PRIu64 " free clusters, not the FAT's",
                              number, where));
  case volume_problem::too_deep:
    return keep(std::snprintf(out, room, "volume %u: directories nested too deep", number));
  case volume_problem::unreadable:
    break;
  }
  keep(std::snprintf(out, room, "volume %u: a sector could not be read", number));
}

// Calls take(text) for each volume finding listed, and says how many were not.
template <typename take_text>
std::uint64_t each_volume_finding(const disk_view &disk, take_text take) {
  finding_text text{};
  std::uint64_t unlisted = 0;
  for (std::size_t volume = 0; volume < disk.volume_count; ++volume) {
    const volume_findings &findings = disk.volumes[volume].findings;
    for (std::size_t i = 0; i < findings.listed_count; ++i) {
      format_volume_finding(text, volume, findings.listed[i]);
      take(text.data());
    }
    unlisted += findings.count - findings.listed_count;
  }
  return unlisted;
}

void format_unlisted(finding_text &text, std::uint64_t unlisted) {
  static_cast<void>(std::snprintf(text.data(), text.size(), "and %" PRIu64 " more", unlisted));
}

// Prints through one stream, remembering whether any of it failed. Text
// with numbers goes through printf at the call, where the compiler checks
// each format against its arguments.
struct printer {
  bool ok = true;

  void check(int printed) { ok = printed >= 0 && ok; }
  void print(const char *text) { ok = std::fputs(text, stdout) >= 0 && ok; }
  void put(char c) { ok = std::putchar(static_cast<unsigned char>(c)) != EOF && ok; }
};

// The length of the UTF-8 sequence text starts with, or 0 where it is not
// one: overlong forms, surrogates and code points past U+10FFFF included.
std::size_t utf8_sequence(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80)
    return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;  // the second byte's range
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    low = lead == 0xe0 ? 0xa0 : 0x80;
    high = lead == 0xed ? 0x9f : 0xbf;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    low = lead == 0xf0 ? 0x90 : 0x80;
    high = lead == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf)
      return 0;
  }
  return length;
}

// A JSON string: quotes, backslashes and control characters escaped, and
// each byte that is not part of valid UTF-8 given as U+FFFD.
void print_json_string(printer &out, std::string_view text) {
  out.put('"');
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    const std::size_t length = utf8_sequence(text);
    if (length == 0) {
      out.print("\\ufffd");
      text.remove_prefix(1);
      continue;
    }
    // U+2028 and U+2029 end lines for some readers of JSON.
    const bool line_separator = length == 3 && text[0] == '\xe2' && text[1] == '\x80' &&
                                (text[2] == '\xa8' || text[2] == '\xa9');
    if (c == '"' || c == '\\')
      out.check(std::printf("\\%c", c));
    else if (c < 0x20)
      out.check(std::printf("\\u%04x", c));
    else if (line_separator)
      out.print(text[2] == '\xa8' ? "\\u2028" : "\\u2029");
    else
      for (const char byte : std::string_view(text.data(), length))
        out.put(byte);
    text.remove_prefix(length);
  }
  out.put('"');
}

// Whether the sequence of length bytes that text starts with is a
// character a terminal shows as itself: no C0 or C1 control, no DEL, no
// line or paragraph separator (U+2028, U+2029), and none of the marks
// that turn the text around it (U+061C, U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069), which would make a name read as another.
bool printable(std::string_view text, std::size_t length) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(0);
  if (length == 1)
    return c >= 0x20 && c < 0x7f;
  if (length == 2)
    return !(c == 0xc2 && byte(1) < 0xa0) && !(c == 0xd8 && byte(1) == 0x9c);
  if (length == 3 && c == 0xe2) {
    const unsigned char second = byte(1);
    const unsigned char third = byte(2);
    return !(second == 0x80 &&
             (third == 0x8e || third == 0x8f || (third >= 0xa8 && third <= 0xae))) &&
           !(second == 0x81 && third >= 0xa6 && third <= 0xa9);
  }
  return length > 1;
}

void print_quoted(printer &out, std::string_view name);

// A name as ls shows one: as it is when every character in it prints as
// itself; otherwise quoted for the shell, each byte that does not print as
// $'\ooo' (or $'\n' and the like), so that no newline can forge a line and
// no escape sequence can reach the terminal.
void print_name(printer &out, std::string_view name) {
  bool plain = true;
  for (std::string_view rest = name; plain && !rest.empty();) {
    const std::size_t length = utf8_sequence(rest);
    plain = printable(rest, length);
    rest.remove_prefix(std::max<std::size_t>(length, 1));
  }
  if (plain) {
    out.check(std::printf("%.*s", static_cast<int>(name.size()), name.data()));
    return;
  }
  print_quoted(out, name);
}

// name quoted for the shell: each run of characters that print as
// themselves inside '...', each other byte as $'\ooo' (or $'\n' and the
// like), each quote as \'.
void print_quoted(printer &out, std::string_view name) {
  constexpr std::string_view escapes = "\a\b\t\n\v\f\r";
  constexpr std::string_view escape_letters = "abtnvfr";
  bool quoted = false;  // inside '...'
  for (std::string_view rest = name; !rest.empty();) {
    const std::size_t length = utf8_sequence(rest);
    const bool shown = printable(rest, length) && rest[0] != '\'';
    if (shown != quoted)
      out.put('\'');
    quoted = shown;
    if (!shown && rest[0] == '\'') {
      out.print("\\'");
    } else if (!shown) {
      const std::size_t escape = escapes.find(rest[0]);
      if (escape != std::string_view::npos)
        out.check(std::printf("$'\\%c'", escape_letters[escape]));
      else
        out.check(
            std::printf("$'\\%03o'", static_cast<unsigned>(static_cast<unsigned char>(rest[0]))));
    }
    const std::size_t taken = shown ? length : 1;
    if (shown)
      out.check(std::printf("%.*s", static_cast<int>(taken), rest.data()));
    rest.remove_prefix(taken);
  }
  if (quoted)
    out.put('\'');
}

// Why a raw disk got the geometry it got, where none was given.
const char *geometry_reason(raw_geometry_source source) {
  switch (source) {
  case raw_geometry_source::floppy:
    return "raw length is a floppy format's";
  case raw_geometry_source::partition_table:
    return "raw partition table's CHS fields";
  case raw_geometry_source::boot_sector:
    return "raw boot sector's heads and sectors per track";
  case raw_geometry_source::size:
    return "raw length, by the size rule";
  case raw_geometry_source::given:
    break;
  }
  return "given";
}

const char *file_system_name(fat_type type) {
  return type == fat_type::fat12 ? "FAT12" : (type == fat_type::fat16 ? "FAT16" : "FAT32");
}

// A label as its volume holds it, less the spaces that fill it out.
std::string_view label_text(const volume_label &label) {
  std::size_t length = label.size();
  while (length > 0 && label[length - 1] == ' ')
    --length;
  return {label.data(), length};
}

void print_json_volumes(printer &out, const disk_view &disk) {
  out.check(std::printf(", \"data-offset\": %" PRIu64 ", \"partitions\": [", disk.data_offset));
  for (std::size_t i = 0; i < disk.volume_count; ++i) {
    const volume_view &volume = disk.volumes[i];
    out.check(std::printf("%s{\"start-sector\": %" PRIu64 ", \"sectors\": %" PRIu64,
                          i == 0 ? "" : ", ", volume.start_sector, volume.sectors));
    if (volume.contiguous)
      out.check(std::printf(", \"offset\": %" PRIu64, volume.offset));
    else
      out.print(", \"offset\": null");
    if (volume.partition)
      out.check(std::printf(", \"type\": %u, \"active\": %s", unsigned{volume.type},
                            volume.active ? "true" : "false"));
    else
      out.print(", \"type\": null, \"active\": false");
    if (volume.fat) {
      out.check(std::printf(", \"file-system\": \"%s\", \"label\": ",
                            file_system_name(volume.file_system)));
      print_json_string(out, label_text(volume.label));
    } else {
      out.print(", \"file-system\": null, \"label\": null");
    }
    out.put('}');
  }
  out.put(']');
}

// A word the shell takes as it is, with nothing to quote.
bool shell_safe(std::string_view text) {
  constexpr std::string_view safe_marks = "_-./@%+=:,";
  return !text.empty() && std::ranges::all_of(text, [safe_marks](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           safe_marks.find(c) != std::string_view::npos;
  });
}

// One argument to paste into a shell: as it is where nothing in it needs
// quoting, quoted as print_name quotes otherwise.
void print_shell_word(printer &out, std::string_view word) {
  if (shell_safe(word))
    out.check(std::printf("%.*s", static_cast<int>(word.size()), word.data()));
  else
    print_quoted(out, word);
}

// The arguments the lines to paste are made of, in static storage: a name
// may be as long as a path.
using argument_text = std::array<char, 3 * 4096 + 256>;

// name, with each comma doubled, as QEMU's options take a comma in a value.
std::size_t put_qemu_value(std::span<char> out, std::string_view name) {
  std::size_t at = 0;
  for (const char c : name) {
    for (int copies = c == ',' ? 2 : 1; copies > 0 && at + 1 < out.size(); --copies)
      out[at++] = c;
  }
  out[at] = '\0';
  return at;
}

void print_paste_lines(printer &out, const image_description &image, const volume_view &volume) {
  static argument_text argument;
  const std::uint64_t bytes = volume.sectors * image.header.bytes_per_sector;
  const int length = std::snprintf(argument.data(), argument.size(), "%s@@%" PRIu64, image.filename,
                                   volume.offset);
  if (length > 0 && static_cast<std::size_t>(length) < argument.size() && volume.fat) {
    out.print("  mtools: mdir -i ");
    print_shell_word(out, std::string_view(argument.data(), static_cast<std::size_t>(length)));
    out.print(" ::\n");
  }
  out.check(std::printf("  mount: mount -o loop,offset=%" PRIu64 ",sizelimit=%" PRIu64 " ",
                        volume.offset, bytes));
  print_shell_word(out, image.filename);
  out.print(" /mnt\n");
}

// QEMU given the disk, and its geometry: without one, SeaBIOS makes up its
// own for a large disk, and a system that reads by CHS misses.
void print_qemu_line(printer &out, const image_description &image) {
  static argument_text argument;
  const image_header &header = image.header;
  const std::size_t name_end = put_qemu_value(argument, image.filename);
  const std::span<char> rest = std::span(argument).subspan(name_end);
  const int length = std::snprintf(rest.data(), rest.size(), ",offset=%" PRIu64 ",size=%" PRIu64,
                                   image.disk.data_offset, disk_bytes(header).value_or(0));
  if (length < 0 || static_cast<std::size_t>(length) >= rest.size())
    return;
  out.print("qemu: qemu-system-i386 -drive if=none,id=disk,format=raw,file=");
  print_shell_word(out,
                   std::string_view(argument.data(), name_end + static_cast<std::size_t>(length)));
  out.check(std::printf(" -device ide-hd,drive=disk,cyls=%" PRIu32 ",heads=%" PRIu32
                        ",secs=%" PRIu32 ",bios-chs-trans=none\n",
                        header.cylinders, header.heads, header.sectors));
}

void print_text_volumes(printer &out, const image_description &image) {
  const disk_view &disk = image.disk;
  out.check(std::printf("data offset: %" PRIu64 "\n", disk.data_offset));
  for (std::size_t i = 0; i < disk.volume_count; ++i) {
    const volume_view &volume = disk.volumes[i];
    if (volume.sectors == 0)
      out.check(std::printf("volume %zu: no sectors", i + 1));
    else
      out.check(std::printf("volume %zu: sectors %" PRIu64 " to %" PRIu64, i + 1,
                            volume.start_sector, volume.start_sector + volume.sectors - 1));
    if (volume.contiguous)
      out.check(std::printf(", at byte %" PRIu64, volume.offset));
    else
      out.print(", not one run of the file");
    if (volume.partition)
      out.check(std::printf(", partition type %02x%s", unsigned{volume.type},
                            volume.active ? ", active" : ""));
    else
      out.print(", the whole disk");
    if (volume.fat) {
      out.check(std::printf(", %s, label ", file_system_name(volume.file_system)));
      print_name(out, label_text(volume.label));
    }
    out.put('\n');
    if (volume.contiguous && volume.sectors > 0)
      print_paste_lines(out, image, volume);
  }
  if (disk.contiguous && disk_bytes(image.header).value_or(0) > 0)
    print_qemu_line(out, image);
}

void print_json(printer &out, const image_description &image) {
  const image_header &header = image.header;
  number_text size{};
  out.print("{\"filename\": ");
  print_json_string(out, image.filename);
  out.check(std::printf(", \"virtual-size\": %s", decimal(size, virtual_size(header))));
  out.check(std::printf(", \"cylinders\": %" PRIu32 ", \"heads\": %" PRIu32
                        ", \"sectors\": %" PRIu32 ", \"bytes-per-sector\": %" PRIu32,
                        header.cylinders, header.heads, header.sectors, header.bytes_per_sector));
  out.check(std::printf(", \"blocksize\": %" PRIu32 ", \"block-count\": %" PRIu32
                        ", \"block-bytes\": %" PRIu64,
                        header.blocksize, header.block_count,
                        std::uint64_t{header.blocksize} * header.bytes_per_sector));
  out.check(std::printf(", \"file-size\": %" PRIu64 ", \"actual-size\": %" PRIu64
                        ", \"as-created\": %s",
                        image.file_size, image.actual_size, image.as_created ? "true" : "false"));
  print_json_volumes(out, image.disk);
  if (const add_totals *added = image.added; added != nullptr)
    out.check(std::printf(", \"added\": {\"files\": %" PRIu64 ", \"directories\": %" PRIu64
                          ", \"clusters\": %" PRIu64 ", \"cluster-bytes\": %" PRIu64
                          ", \"clusters-left\": %" PRIu64 "}",
                          added->files, added->directories, added->clusters, added->cluster_bytes,
                          added->free_clusters - added->clusters));
  if (image.geometry_from != raw_geometry_source::given)
    out.check(std::printf(", \"geometry-from\": \"%s\"", geometry_reason(image.geometry_from)));
  // The count, for scripts: the list holds the first findings only.
  const image_findings &findings = image.findings;
  out.check(std::printf(", \"error-count\": %" PRIu64 ", \"errors\": [",
                        finding_count(findings) + volume_finding_count(image.disk)));
  finding_text text{};
  const char *separator = "";
  for (std::size_t i = 0; i < findings.listed_count; ++i) {
    format_finding(text, findings.listed[i], image);
    out.print(separator);
    print_json_string(out, text.data());
    separator = ", ";
  }
  static_cast<void>(each_volume_finding(image.disk, [&](const char *found) {
    out.print(separator);
    print_json_string(out, found);
    separator = ", ";
  }));
  out.print("]}\n");
}

void print_text(printer &out, const image_description &image) {
  const image_header &header = image.header;
  const wide_bytes disk = virtual_size(header);
  number_text size{};
  size_text human{};
  out.print("image: ");
  print_name(out, image.filename);
  out.put('\n');
  format_size(human, approximately(disk));
  out.check(std::printf("virtual size: %s bytes (%s)\n", decimal(size, disk), human.data()));
  out.check(std::printf("geometry: %" PRIu32 " cylinders, %" PRIu32 " heads, %" PRIu32
                        " sectors per track, %" PRIu32 " bytes per sector\n",
                        header.cylinders, header.heads, header.sectors, header.bytes_per_sector));
  out.check(std::printf("block size: %" PRIu32 " sectors, %" PRIu64 " bytes\n", header.blocksize,
                        std::uint64_t{header.blocksize} * header.bytes_per_sector));
  out.check(std::printf("block count: %" PRIu32 "\n", header.block_count));
  format_size(human, static_cast<double>(image.file_size));
  out.check(std::printf("file size: %" PRIu64 " bytes (%s)\n", image.file_size, human.data()));
  format_size(human, static_cast<double>(image.actual_size));
  out.check(std::printf("disk usage: %" PRIu64 " bytes (%s)\n", image.actual_size, human.data()));
  if (image.as_created)
    out.print("layout: as blankimg creates it\n");
  else
    out.check(std::printf("layout: not as blankimg creates it (%s)\n",
                          why_not_as_created(image.difference)));
  if (image.geometry_from != raw_geometry_source::given)
    out.check(std::printf("geometry from: %s\n", geometry_reason(image.geometry_from)));
  print_text_volumes(out, image);
  if (const add_totals *added = image.added; added != nullptr)
    out.check(std::printf("files added: %" PRIu64 " files, %" PRIu64 " directories, %" PRIu64
                          " clusters of %" PRIu64 " bytes; %" PRIu64 " clusters left\n",
                          added->files, added->directories, added->clusters, added->cluster_bytes,
                          added->free_clusters - added->clusters));
  const image_findings &findings = image.findings;
  const std::uint64_t count = finding_count(findings) + volume_finding_count(image.disk);
  if (count == 0) {
    out.print("errors: none\n");
    return;
  }
  out.check(std::printf("errors: %" PRIu64 "\n", count));
  finding_text text{};
  for (std::size_t i = 0; i < findings.listed_count; ++i) {
    format_finding(text, findings.listed[i], image);
    out.check(std::printf("  %s\n", text.data()));
  }
  const std::uint64_t unlisted =
      findings.unlisted_count + each_volume_finding(image.disk, [&](const char *found) {
        out.check(std::printf("  %s\n", found));
      });
  if (unlisted > 0) {
    format_unlisted(text, unlisted);
    out.check(std::printf("  %s\n", text.data()));
  }
}

}  // namespace

// The volume a plan's format makes.
disk_view planned_disk(const image_plan &plan) {
  disk_view disk{.data_offset = data_area_offset(plan.header.block_count),
                 .contiguous = true,
                 .volumes = {},
                 .volume_count = 0};
  if (!plan.formatted)
    return disk;
  const disk_format &format = plan.format;
  disk.volumes[disk.volume_count++] = {
      .start_sector = format.volume_start,
      .sectors = format.volume.sectors,
      .contiguous = true,
      .offset = disk.data_offset + format.volume_start * plan.header.bytes_per_sector,
      .partition = format.partitioned,
      .type = format.partition.type,
      .active = format.partition.status == active_status,
      .fat = true,
      .file_system = format.volume.type,
      .label = format.volume.label,
      .findings = {}};
  return disk;
}

image_description describe_plan(const image_plan &plan) {
  return {.filename = plan.dest,
          .header = plan.header,
          .file_size = image_end(plan.header.block_count, plan.block_bytes),
          .actual_size = 0,
          .as_created = true,
          .difference = layout_difference::none,
          .findings = {},
          .disk = planned_disk(plan),
          .geometry_from = plan.raw_source,
          .added = nullptr};
}

image_description describe_check(const char *filename, const image_check &check,
                                 std::uint64_t actual_size, const disk_view &disk) {
  return {.filename = filename,
          .header = check.header,
          .file_size = check.file_size,
          .actual_size = actual_size,
          .as_created = check.as_created,
          .difference = check.difference,
          .findings = check.findings,
          .disk = disk,
          .geometry_from = raw_geometry_source::given,
          .added = nullptr};
}

bool print_description(const image_description &description, output_format format) {
  printer out;
  if (format == output_format::json)
    print_json(out, description);
  else
    print_text(out, description);
  return std::fflush(stdout) == 0 && out.ok;
}

namespace {

// A file's attributes as five letters: d(irectory), r(ead-only),
// h(idden), s(ystem), a(rchive), "-" where it has not that one.
std::array<char, 6> attribute_letters(std::uint8_t attributes) {
  constexpr std::array<std::pair<std::uint8_t, char>, 5> letters = {{
      {directory_attribute, 'd'},
      {read_only_attribute, 'r'},
      {hidden_attribute, 'h'},
      {system_attribute, 's'},
      {archive_attribute, 'a'},
  }};
  std::array<char, 6> text{};
  for (std::size_t i = 0; i < letters.size(); ++i)
    text[i] = (attributes & letters[i].first) != 0 ? letters[i].second : '-';
  return text;
}

// A directory entry's date and time as ISO 8601 has them, as the volume
// keeps them: "2024-05-01T12:30:00".
std::array<char, 24> iso_moment(std::uint16_t date, std::uint16_t time) {
  std::array<char, 24> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02u",
                                  1980U + (date >> 9U), date >> 5U & 0xfU, date & 0x1fU,
                                  time >> 11U, time >> 5U & 0x3fU, (time & 0x1fU) * 2U));
  return text;
}

}  // namespace

bool print_added_totals(const add_totals &totals, output_format format) {
  printer out;
  const std::uint64_t left = totals.free_clusters - totals.clusters;
  if (format == output_format::json)
    out.check(std::printf(
        "{\"added\": {\"files\": %" PRIu64 ", \"directories\": %" PRIu64 ", \"clusters\": %" PRIu64
        ", \"cluster-bytes\": %" PRIu64 ", \"clusters-left\": %" PRIu64 "}}\n",
        totals.files, totals.directories, totals.clusters, totals.cluster_bytes, left));
  else
    out.check(std::printf("files added: %" PRIu64 " files, %" PRIu64 " directories, %" PRIu64
                          " clusters of %" PRIu64 " bytes; %" PRIu64 " clusters left\n",
                          totals.files, totals.directories, totals.clusters, totals.cluster_bytes,
                          left));
  return std::fflush(stdout) == 0 && out.ok;
}

bool print_listed_file(list_printer &list, const listed_file &file) {
  printer out;
  const std::array<char, 6> attributes = attribute_letters(file.attributes);
  std::array<char, 24> moment = iso_moment(file.date, file.time);
  if (list.format == output_format::json) {
    out.print(list.first ? "[\n  {\"path\": " : ",\n  {\"path\": ");
    print_json_string(out, file.path);
    out.print(", \"short-name\": ");
    print_json_string(out, file.short_name);
    out.check(std::printf(", \"directory\": %s, \"size\": %" PRIu32
                          ", \"modified\": \"%sZ\", \"attributes\": \"%s\", \"clusters\": %" PRIu32
                          "}",
                          file.directory ? "true" : "false", file.size, moment.data(),
                          attributes.data(), file.clusters));
  } else {
    moment[10] = ' ';
    out.check(std::printf("%s %10" PRIu32 "  %s  ", attributes.data(), file.size, moment.data()));
    print_name(out, file.path);
    out.print(file.directory ? "/\n" : "\n");
  }
  list.first = false;
  return out.ok;
}

bool finish_file_list(list_printer &list) {
  printer out;
  if (list.format == output_format::json)
    out.print(list.first ? "[]\n" : "\n]\n");
  return std::fflush(stdout) == 0 && out.ok;
}

}  // namespace blankimg
