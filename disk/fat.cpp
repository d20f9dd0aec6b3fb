#include "disk/fat.hpp"

#include <algorithm>

#include "disk/ascii.hpp"
#include "disk/boot_code.hpp"
#include "disk/boot_sector_fields.hpp"
#include "disk/little_endian.hpp"

namespace blankimg {

namespace {

constexpr std::uint32_t entry_bytes = 32;  // a directory entry
constexpr std::uint32_t most_fat12_clusters = 4084;
constexpr std::uint32_t most_fat16_clusters = 65524;
// Readers disagree on the type of a volume with a count near a bound, so
// none is made there: FAT16 from 4087 clusters on, FAT32 from 65529, as
// mkfs.fat keeps them.
constexpr std::uint32_t fewest_fat16_clusters = 4087;
constexpr std::uint32_t fewest_fat32_clusters = 65529;
constexpr std::uint32_t most_fat32_clusters = 0x0ffffff4;
constexpr std::uint64_t most_fat16_sectors = 4194304;  // of 512 bytes: 2 GiB
constexpr std::uint64_t most_fat12_by_size = 32680;    // of 512 bytes: 16 MiB
constexpr std::uint32_t most_cluster_bytes = 32768;

constexpr std::string_view not_in_labels = "\"*+,./:;<=>?[\\]|";

struct size_step {
  std::uint64_t up_to;  // sectors of 512 bytes
  std::uint32_t sectors_per_cluster;
};
// The published tables of cluster size by volume size, in sectors of 512
// bytes. FAT16's first step, below 8400 sectors, is this tool's: the
// table leaves such a volume to FAT12, but one can be forced to FAT16.
constexpr std::array<size_step, 7> fat16_steps = {{
    {8400, 1},
    {32680, 2},
    {262144, 4},
    {524288, 8},
    {1048576, 16},
    {2097152, 32},
    {4194304, 64},
}};
constexpr std::array<size_step, 5> fat32_steps = {{
    {532480, 1},
    {16777216, 8},
    {33554432, 16},
    {67108864, 32},
    {0xffffffff, 64},
}};

constexpr std::uint32_t bits_of(fat_type type) {
  return type == fat_type::fat12 ? 12 : (type == fat_type::fat16 ? 16 : 32);
}

// Days since 1970-01-01 as a civil date: Howard Hinnant's algorithm.
struct civil_date {
  std::uint32_t year;
  std::uint32_t month;
  std::uint32_t day;
};
constexpr civil_date civil_from_days(std::uint64_t days) {
  const std::uint64_t z = days + 719468;
  const std::uint64_t era = z / 146097;
  const std::uint64_t day_of_era = z - era * 146097;
  const std::uint64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::uint64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<std::uint32_t>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const auto month =
      static_cast<std::uint32_t>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  const auto year = static_cast<std::uint32_t>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  return {.year = year, .month = month, .day = day};
}

// A civil date as days since 1970-01-01: the same algorithm, backwards.
constexpr std::uint64_t days_from_civil(std::uint32_t year, std::uint32_t month,
                                        std::uint32_t day) {
  const std::uint32_t shifted_year = month <= 2 ? year - 1 : year;
  const std::uint32_t era = shifted_year / 400;
  const std::uint32_t year_of_era = shifted_year - era * 400;
  const std::uint32_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::uint32_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return std::uint64_t{era} * 146097 + day_of_era - 719468;
}

std::uint32_t sectors_per_cluster_for(fat_type type, std::uint64_t sectors,
                                      std::uint32_t bytes_per_sector) {
  const std::uint64_t in_512 = sectors * bytes_per_sector / 512;
  std::uint32_t cluster_512 = 64;  // past the table: the largest
  if (type == fat_type::fat16) {
    const auto *step = std::ranges::find_if(
        fat16_steps, [in_512](const size_step &s) { return in_512 <= s.up_to; });
    cluster_512 = step != fat16_steps.end() ? step->sectors_per_cluster : 64;
  } else if (type == fat_type::fat32) {
    const auto *step = std::ranges::find_if(
        fat32_steps, [in_512](const size_step &s) { return in_512 <= s.up_to; });
    cluster_512 = step != fat32_steps.end() ? step->sectors_per_cluster : 64;
  }
  return std::max<std::uint32_t>(1, cluster_512 * 512 / bytes_per_sector);
}

// FATs as long as their clusters need, the clusters as many as the FATs
// leave room for: each pass can only shorten what the last one asked.
void size_fats(fat_volume &volume) {
  const std::uint32_t root_sectors =
      (volume.root_entries * entry_bytes + volume.bytes_per_sector - 1) / volume.bytes_per_sector;
  const std::uint64_t bits = bits_of(volume.type);
  volume.fat_sectors = std::max<std::uint32_t>(1, volume.fat_sectors);
  for (;;) {
    const std::uint64_t overhead = volume.reserved_sectors +
                                   std::uint64_t{volume.fat_count} * volume.fat_sectors +
                                   root_sectors;
    volume.clusters =
        overhead >= volume.sectors
            ? 0
            : static_cast<std::uint32_t>((volume.sectors - overhead) / volume.sectors_per_cluster);
    const std::uint64_t fat_bytes = ((std::uint64_t{volume.clusters} + 2) * bits + 7) / 8;
    const auto needed = static_cast<std::uint32_t>((fat_bytes + volume.bytes_per_sector - 1) /
                                                   volume.bytes_per_sector);
    if (needed <= volume.fat_sectors)
      return;
    volume.fat_sectors = needed;
  }
}

fat_type type_for(fat_request request, bool floppy, std::uint64_t sectors_of_512) {
  switch (request) {
  case fat_request::fat12:
    return fat_type::fat12;
  case fat_request::fat16:
    return fat_type::fat16;
  case fat_request::fat32:
    return fat_type::fat32;
  case fat_request::by_size:
    break;
  }
  if (floppy || sectors_of_512 <= most_fat12_by_size)
    return fat_type::fat12;
  return sectors_of_512 <= most_fat16_sectors ? fat_type::fat16 : fat_type::fat32;
}

// The smallest cluster that keeps the count within FAT12's.
void size_fat12_clusters(fat_volume &volume) {
  for (volume.sectors_per_cluster = 1;; volume.sectors_per_cluster *= 2) {
    volume.fat_sectors = 1;
    size_fats(volume);
    if (volume.clusters <= most_fat12_clusters ||
        volume.sectors_per_cluster * volume.bytes_per_sector >= most_cluster_bytes)
      return;
  }
}

bool clusters_fit(const fat_volume &volume) {
  switch (volume.type) {
  case fat_type::fat12:
    return volume.clusters >= 1 && volume.clusters <= most_fat12_clusters;
  case fat_type::fat16:
    return volume.clusters >= fewest_fat16_clusters && volume.clusters <= most_fat16_clusters;
  case fat_type::fat32:
    return volume.clusters >= fewest_fat32_clusters && volume.clusters <= most_fat32_clusters;
  }
  return false;
}

std::uint32_t root_directory_sector(const fat_volume &volume) {
  return volume.reserved_sectors + volume.fat_count * volume.fat_sectors;
}

// The boot sector, as mkfs.fat builds it: the jump, the OEM name, then
// each field from its table, and the boot code.
void render_boot_sector(const fat_volume &volume, std::span<std::uint8_t> out) {
  const bool fat32 = volume.type == fat_type::fat32;
  const std::size_t code_at = fat32 ? 90 : 62;
  out[0] = 0xeb;  // jmp short to the boot code, and a nop
  out[1] = static_cast<std::uint8_t>(code_at - 2);
  out[2] = 0x90;
  std::ranges::copy(std::string_view("MSDOS5.0"), out.begin() + 3);
  // The sector count stands in 16 bits where it fits, but never on FAT32.
  const bool small = volume.sectors < 0x10000 && !fat32;
  const std::array<std::pair<boot_field, std::uint64_t>, 12> parameters = {{
      {bytes_per_sector_field, volume.bytes_per_sector},
      {sectors_per_cluster_field, volume.sectors_per_cluster},
      {reserved_sectors_field, volume.reserved_sectors},
      {fat_count_field, volume.fat_count},
      {root_entries_field, volume.root_entries},
      {small_sector_count_field, small ? volume.sectors : 0},
      {media_field, volume.media},
      {fat16_sectors_field, fat32 ? 0 : volume.fat_sectors},
      {sectors_per_track_field, volume.sectors_per_track},
      {heads_field, volume.heads},
      {hidden_sectors_field, volume.hidden_sectors},
      {sector_count_field, small ? 0 : volume.sectors},
  }};
  for (const auto &[field, value] : parameters)
    put_field(out, field, value);
  if (fat32) {
    const std::array<std::pair<boot_field, std::uint64_t>, 4> fat32_parameters = {{
        {fat32_sectors_field, volume.fat_sectors},
        {root_cluster_field, 2},
        {fsinfo_sector_field, 1},
        {backup_boot_sector_field, 6},
    }};
    for (const auto &[field, value] : fat32_parameters)
      put_field(out, field, value);
  }
  const std::size_t extended = fat32 ? fat32_extended_at : extended_at;
  out[extended + drive_number_offset] = volume.drive_number;
  out[extended + signature_offset] = extended_signature;
  put_little_endian<4>(out, extended + serial_offset, volume.made.serial);
  std::ranges::copy(volume.label,
                    out.begin() + static_cast<std::ptrdiff_t>(extended + label_offset));
  const std::string_view type_name =
      fat32 ? "FAT32   " : (volume.type == fat_type::fat16 ? "FAT16   " : "FAT12   ");
  std::ranges::copy(type_name,
                    out.begin() + static_cast<std::ptrdiff_t>(extended + type_name_offset));
  std::ranges::copy(volume_stub, out.begin() + static_cast<std::ptrdiff_t>(code_at));
  out[510] = 0x55;
  out[511] = 0xaa;
}

void render_fsinfo(const fat_volume &volume, std::span<std::uint8_t> out) {
  put_little_endian<4>(out, 0, 0x41615252);
  put_little_endian<4>(out, 484, 0x61417272);
  put_little_endian<4>(out, 488, volume.clusters - 1);  // all free but the root's
  put_little_endian<4>(out, 492, 3);                    // the first free cluster
  put_little_endian<4>(out, 508, 0xaa550000);
}

// Cluster 0 holds the media byte, cluster 1 the end-of-chain mark; on
// FAT32, cluster 2, the root directory, is a chain of one.
void render_fat_start(const fat_volume &volume, std::span<std::uint8_t> out) {
  switch (volume.type) {
  case fat_type::fat12:
    put_little_endian<3>(out, 0, 0xffff00U | volume.media);
    break;
  case fat_type::fat16:
    put_little_endian<4>(out, 0, 0xffffff00U | volume.media);
    break;
  case fat_type::fat32:
    put_little_endian<4>(out, 0, 0x0fffff00U | volume.media);
    put_little_endian<4>(out, 4, 0x0fffffff);
    put_little_endian<4>(out, 8, 0x0fffffff);
    break;
  }
}

void render_label_entry(const fat_volume &volume, std::span<std::uint8_t> out) {
  std::ranges::copy(volume.label, out.begin());
  out[11] = 0x08;  // the volume label's attribute
  put_little_endian<2>(out, 14, volume.made.time);
  put_little_endian<2>(out, 16, volume.made.date);
  put_little_endian<2>(out, 18, volume.made.date);
  put_little_endian<2>(out, 22, volume.made.time);
  put_little_endian<2>(out, 24, volume.made.date);
}

}  // namespace

std::optional<volume_label> read_volume_label(std::string_view text) {
  if (text.empty() || text.size() > volume_label{}.size() || text[0] == ' ')
    return std::nullopt;
  volume_label label;
  label.fill(' ');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // Printable ASCII alone: a byte past it means a code page no reader
    // shares, and 0xE5 first would mark the entry deleted.
    if (c < 0x20 || c > 0x7e || not_in_labels.find(text[i]) != std::string_view::npos)
      return std::nullopt;
    label[i] = ascii_upper(text[i]);
  }
  return label;
}

fat_moment fat_moment_of(std::uint64_t unix_seconds) {
  constexpr std::uint64_t start_of_1980 = 315532800;
  const std::uint64_t seconds = std::max(unix_seconds, start_of_1980);
  const civil_date date = civil_from_days(seconds / 86400);
  const auto of_day = static_cast<std::uint32_t>(seconds % 86400);
  const std::uint32_t hour = of_day / 3600;
  const std::uint32_t minute = of_day / 60 % 60;
  const std::uint32_t second = of_day % 60;
  const std::uint32_t year = std::min<std::uint32_t>(date.year, 2107);
  // FORMAT's serial: the date and the time, each as two words, summed.
  const std::uint32_t low = ((date.month << 8) | date.day) + (second << 8);
  const std::uint32_t high = ((hour << 8) | minute) + date.year;
  return {.date = static_cast<std::uint16_t>((year - 1980) << 9 | date.month << 5 | date.day),
          .time = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2),
          .serial = (high & 0xffff) << 16 | (low & 0xffff)};
}

std::uint64_t unix_seconds_of(std::uint16_t date, std::uint16_t time) {
  const std::uint32_t year = 1980U + (date >> 9U);
  const std::uint32_t month = std::clamp<std::uint32_t>(date >> 5U & 0xfU, 1, 12);
  const std::uint32_t day = std::max<std::uint32_t>(date & 0x1fU, 1);
  const std::uint64_t seconds = (std::uint64_t{time} >> 11U) * 3600 +
                                (std::uint64_t{time} >> 5U & 0x3fU) * 60 +
                                (std::uint64_t{time} & 0x1fU) * 2;
  return days_from_civil(year, month, day) * 86400 + seconds;
}

namespace {

std::optional<fat_volume> lay_out_type(const volume_place &place, fat_type type,
                                       const volume_label &label, bool labelled,
                                       const fat_moment &made) {
  const std::uint32_t bytes = place.bytes_per_sector;
  const std::uint64_t in_512 = place.sectors * bytes / 512;
  const bool floppy = place.floppy != nullptr && place.first_sector == 0;
  if ((type == fat_type::fat32 && place.floppy != nullptr) ||
      (type == fat_type::fat16 && in_512 > most_fat16_sectors) ||
      (type == fat_type::fat12 && place.past_chs))
    return std::nullopt;
  fat_volume volume{
      .type = type,
      .bytes_per_sector = bytes,
      .sectors_per_cluster = sectors_per_cluster_for(type, place.sectors, bytes),
      .reserved_sectors = type == fat_type::fat32 ? 32U : 1U,
      .fat_count = 2,
      .root_entries = type == fat_type::fat32 ? 0U : 512U,
      .sectors = static_cast<std::uint32_t>(place.sectors),
      .fat_sectors = 1,
      .clusters = 0,
      .media = 0xf8,
      .drive_number = 0x80,
      .hidden_sectors = static_cast<std::uint32_t>(place.first_sector),
      .sectors_per_track = place.sectors_per_track,
      .heads = place.heads,
      .label = label,
      .labelled = labelled,
      .made = made,
  };
  if (floppy && type == fat_type::fat12) {
    // The format's own parameters, as every PC reads them.
    volume.sectors_per_cluster = place.floppy->sectors_per_cluster;
    volume.root_entries = place.floppy->root_entries;
    volume.fat_sectors = place.floppy->fat_sectors;
    volume.media = place.floppy->media;
    volume.drive_number = 0;
  } else if (type == fat_type::fat12) {
    size_fat12_clusters(volume);
  }
  size_fats(volume);
  if (!clusters_fit(volume) || volume.sectors_per_cluster > 128 ||
      volume.sectors_per_track > 0xffff || volume.heads > 0xffff)
    return std::nullopt;
  return volume;
}

}  // namespace

std::optional<fat_volume> lay_out_fat(const volume_place &place, fat_request request,
                                      const volume_label &label, bool labelled,
                                      const fat_moment &made) {
  const std::uint32_t bytes = place.bytes_per_sector;
  if (bytes < 512 || bytes > 4096 || (bytes & (bytes - 1)) != 0 || place.sectors > 0xffffffff)
    return std::nullopt;
  const fat_type by_size = type_for(request, place.floppy != nullptr, place.sectors * bytes / 512);
  if (std::optional<fat_volume> volume = lay_out_type(place, by_size, label, labelled, made))
    return volume;
  if (request != fat_request::by_size)
    return std::nullopt;
  // The type by size cannot hold it: the next larger type that can, else
  // the next smaller. Only a type asked for by name is refused.
  constexpr std::array<std::array<fat_type, 2>, 3> next_types = {{
      {fat_type::fat16, fat_type::fat32},  // after FAT12
      {fat_type::fat32, fat_type::fat12},  // after FAT16
      {fat_type::fat16, fat_type::fat12},  // after FAT32
  }};
  for (const fat_type next : next_types.at(static_cast<std::size_t>(by_size))) {
    if (std::optional<fat_volume> volume = lay_out_type(place, next, label, labelled, made))
      return volume;
  }
  return std::nullopt;
}

std::size_t list_fat_sectors(const fat_volume &volume,
                             std::span<std::uint32_t, most_fat_sectors> sectors) {
  std::size_t count = 0;
  sectors[count++] = 0;
  if (volume.type == fat_type::fat32) {
    for (const std::uint32_t copy : {1U, 6U, 7U})
      sectors[count++] = copy;
  }
  for (std::uint32_t fat = 0; fat < volume.fat_count; ++fat)
    sectors[count++] = volume.reserved_sectors + fat * volume.fat_sectors;
  if (volume.labelled)
    sectors[count++] = root_directory_sector(volume);
  return count;
}

void render_fat_sector(const fat_volume &volume, std::uint32_t relative,
                       std::span<std::uint8_t> out) {
  const bool fat32 = volume.type == fat_type::fat32;
  if (relative == 0 || (fat32 && relative == 6))
    return render_boot_sector(volume, out);
  if (fat32 && (relative == 1 || relative == 7))
    return render_fsinfo(volume, out);
  if (relative >= volume.reserved_sectors && relative < root_directory_sector(volume) &&
      (relative - volume.reserved_sectors) % volume.fat_sectors == 0)
    return render_fat_start(volume, out);
  if (volume.labelled && relative == root_directory_sector(volume))
    render_label_entry(volume, out);
}

std::optional<fat_found> read_fat_boot_sector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512 || sector[510] != 0x55 || sector[511] != 0xaa ||
      !starts_with_jump(sector))
    return std::nullopt;
  const boot_counts counts = count_boot_sector(sector);
  const std::uint64_t bytes = counts.bytes_per_sector;
  const std::uint64_t per_cluster = counts.sectors_per_cluster;
  if (bytes < 512 || bytes > 4096 || (bytes & (bytes - 1)) != 0 || per_cluster == 0 ||
      (per_cluster & (per_cluster - 1)) != 0 || counts.reserved_sectors == 0 ||
      counts.fat_count == 0 || counts.data_start >= counts.sectors)
    return std::nullopt;
  const std::uint64_t clusters = (counts.sectors - counts.data_start) / per_cluster;
  const fat_type type = clusters <= most_fat12_clusters   ? fat_type::fat12
                        : clusters <= most_fat16_clusters ? fat_type::fat16
                                                          : fat_type::fat32;
  // The label stands behind the extended boot signature, where there is one.
  const std::size_t extended = type == fat_type::fat32 ? fat32_extended_at : extended_at;
  fat_found found{.type = type, .label = no_name};
  if (sector[extended + signature_offset] == extended_signature)
    std::ranges::copy(sector.subspan(extended + label_offset, found.label.size()),
                      found.label.begin());
  return found;
}

}  // namespace blankimg
