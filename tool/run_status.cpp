#include "tool/run_status.hpp"

namespace blankimg {

const char *message_for(run_status status) {
  switch (status) {
  case run_status::invalid_blocksize:
    return "invalid blocksize\n";
  case run_status::invalid_geometry:
    return "invalid geometry\n";
  case run_status::invalid_size:
    return "invalid size\n";
  case run_status::image_too_large:
    return "image too large\n";
  case run_status::invalid_label:
    return "invalid label\n";
  case run_status::fat_does_not_fit:
    return "fat type does not fit the volume\n";
  case run_status::cant_open_dest:
    return "can't open dest\n";
  case run_status::cant_open_raw:
    return "can't open raw\n";
  case run_status::write_error:
    return "write error\n";
  case run_status::cant_open_image:
    return "can't open image\n";
  case run_status::not_an_image:
    return "not an image\n";
  case run_status::read_error:
    return "read error\n";
  case run_status::out_of_memory:
    return "out of memory\n";
  case run_status::no_fat_volume:
    return "no fat volume\n";
  case run_status::damaged_volume:
    return "damaged volume\n";
  case run_status::cant_add:
    return "can't add file\n";
  case run_status::no_room:
    return "no room on the volume\n";
  case run_status::root_full:
    return "root directory full\n";
  case run_status::cant_extract:
    return "can't extract file\n";
  case run_status::damaged:
  case run_status::interrupted:
  case run_status::ok:
  case run_status::help:
  case run_status::version:
  case run_status::usage:
    break;
  }
  return nullptr;
}

const char *cause_text(failure_cause cause) {
  switch (cause) {
  case failure_cause::unknown_option:
    return "unknown option '%s'; see blankimg --help";
  case failure_cause::option_needs_value:
    return "option '%s' needs a value; see blankimg --help";
  case failure_cause::invalid_value:
    return "invalid value '%d' for %s; see blankimg --help";
  case failure_cause::wrong_operands:
    return "give dest and five numbers, or dest alone with --size, --floppy or --from-raw, "
           "or the image alone with --info or --to-raw; see blankimg --help";
  case failure_cause::needs_fat:
    return "--label and --partition need --fat";
  case failure_cause::writes_only:
    return "--preallocation, --sync and --progress are for writing, not --info or --dry-run";
  case failure_cause::info_alone:
    return "--info takes the image alone, with --output at most";
  case failure_cause::raw_alone:
    return "--from-raw and --to-raw go with neither each other, --fat nor --info; --to-raw "
           "takes the image alone";
  case failure_cause::size_or_floppy:
    return "--size and --floppy do not go together";
  case failure_cause::blocksize_needs_disk:
    return "--blocksize needs --size or --floppy, and --sector-size needs --size";
  case failure_cause::output_needs_look:
    return "--output goes with --info or --dry-run";
  case failure_cause::files_alone:
    return "--add, --extract and --list go one at a time, with the image alone (or --add with "
           "a disk to make); --volume and --force go with them";
  case failure_cause::too_many_adds:
    return "--add is taken at most 64 times";
  case failure_cause::too_many_heads:
    return "--fat: a BIOS addresses at most 255 heads";
  case failure_cause::too_many_sectors:
    return "--fat: a BIOS addresses at most 63 sectors per track";
  case failure_cause::fat12_past_chs:
    return "--fat=12: the partition ends past what CHS can address, and FAT12 has no LBA type";
  case failure_cause::label_not_ascii:
    return "--label: printable ASCII characters only";
  case failure_cause::system_error:
    return "%s: %d";
  case failure_cause::files_need_file:
    return "%s: --add makes its disk in a file, which it reads back to add to";
  case failure_cause::own_source:
    return "the copy's source and destination are the same file";
  case failure_cause::empty_raw:
    return "%s is empty: no disk holds nothing";
  case failure_cause::not_raw:
    return "%s is %d";
  case failure_cause::file_exists:
    return "%s exists; --force replaces it";
  case failure_cause::not_fat_name:
    return "%s: a name FAT cannot hold";
  case failure_cause::case_clash:
    return "%s: differs from another name in its directory only by case";
  case failure_cause::special_file:
    return "%s: neither a file nor a directory (links are not followed)";
  case failure_cause::file_too_large:
    return "%s: FAT holds no file of 4 GiB or more";
  case failure_cause::tree_too_deep:
    return "%s: deeper than 32 directories";
  case failure_cause::file_changed:
    return "%s changed while it was copied";
  case failure_cause::more_room:
    return "%d bytes more are needed";
  case failure_cause::image_damaged:
    return "%s is damaged; see blankimg --info";
  case failure_cause::no_such_volume:
    return "%s has no FAT volume %d; see blankimg --info";
  case failure_cause::volume_damaged:
    return "%s: %d";
  case failure_cause::none:
    break;
  }
  return nullptr;
}

}  // namespace blankimg
