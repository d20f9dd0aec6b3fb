// What differs between operating systems: opening, locking, sizing and
// syncing the destination, reading an image back, the signals a write can
// raise, and the terminal that --progress draws on. One implementation file
// per system; the build picks the one that fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace blankimg::platform {

// An open file: the descriptor, or the system's handle.
using file_handle = std::intptr_t;

// Where the manual is to be read, for --help.
extern const char *const manual_location;

// Readies the process for a run: a write past a file-size limit, or into a
// pipe whose reader has gone, fails as a write instead of ending the process
// unreported; standard output and error carry the bytes they are given, and
// are open, so that no file the tool opens can take their place. False when
// that cannot be had.
[[nodiscard]] bool prepare_process();

struct destination {
  bool opened;  // false when dest could not be had
  file_handle handle;
  bool created;     // the file did not exist before this run
  bool positioned;  // takes writes at any offset (a file, a disk); else each follows on
};

// Opens dest for writing, creating it unless no_clobber forbids replacing
// one that exists. A regular file is locked for this process alone, without
// waiting, and only then cut to length 0, so that a run that finds another
// at work leaves that run's image whole. The lock goes with the close.
[[nodiscard]] destination open_destination(const char *path, bool no_clobber);

// Whether open_destination could have dest, as far as can be told without
// creating or changing anything: a file that exists may be written and, if
// no_clobber, is refused; one that does not is in a directory that exists
// and may be written.
[[nodiscard]] bool destination_would_open(const char *path, bool no_clobber);

// Writes bytes at offset, of a destination that is positioned, or after
// the last write, of one that is not. Returns how many were written: fewer
// on a failure, none where the offset is past what the system can name.
[[nodiscard]] std::size_t write_at(file_handle file, std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes);
[[nodiscard]] std::size_t write_next(file_handle file, std::span<const std::uint8_t> bytes);

enum class space_result {
  done,
  unsupported,  // this file or its file system has no such call: write zeros instead
  failed,       // no room, a size limit, or an I/O error
};

// Gives [offset, offset + length) disk space that reads as zeros without
// writing it, and makes the file that long.
[[nodiscard]] space_result reserve_space(file_handle file, std::uint64_t offset,
                                         std::uint64_t length);

// Makes the file length bytes long; the new tail is a hole that reads as
// zeros and takes no disk space until it is written.
[[nodiscard]] space_result extend_sparse(file_handle file, std::uint64_t length);

// Cuts a regular file back to length bytes, giving back the disk space of
// everything past it, blocks reserved beyond the file's end included. A
// pipe or a device cannot be cut, and succeeds as it is.
[[nodiscard]] bool cut_back(file_handle file, std::uint64_t length);

// Closes the destination; false when the system reports that what was
// written may not have reached the file.
[[nodiscard]] bool close_destination(file_handle file);

// Flushes what was written to stable storage, and, for a file this run
// created, the directory entry that names it. A pipe or a terminal has
// nothing to flush and succeeds.
[[nodiscard]] bool sync_to_storage(file_handle file, const char *path, bool created);

// An image opened to be read: never written, locked or changed.
struct image_source {
  file_handle handle;
  std::uint64_t size;       // bytes
  std::uint64_t allocated;  // bytes of disk space it takes
};

// Opens path for reading, leaving its access time as it is where the system
// allows. False when it is missing, not permitted, or not a file that can
// be read at any offset, such as a directory or a pipe.
//
// With shared, it is also locked for reading as emulators lock the images
// they read, without waiting: a file another process holds for writing,
// as a running emulator holds its disk, is refused. QEMU, which takes only
// shared locks, says it writes by a lock on a byte of its own: that is
// looked for too.
[[nodiscard]] bool open_source(const char *path, image_source &source, bool shared = false);

// Opens an image that exists to change it in place: read and written,
// never cut, locked as a destination is, so that no emulator or other run
// has it meanwhile. False when it is missing, held or cannot be written.
[[nodiscard]] bool open_for_update(const char *path, image_source &source);

// Whether path names the file or block device that source is, by whatever
// name: a copy onto its own source would wipe it.
[[nodiscard]] bool is_same_file(const char *path, const image_source &source);

// Fills dest with the bytes from offset on; false on an I/O error, or when
// the file ends first.
[[nodiscard]] bool read_at(const image_source &source, std::uint64_t offset,
                           std::span<std::uint8_t> dest);

// The source's length now, to tell whether it changed while it was read;
// false when it cannot be had.
[[nodiscard]] bool current_size(const image_source &source, std::uint64_t &size);

void close_source(const image_source &source);

// The first run of data at or after offset and before end, as the file
// system keeps it: what lies between runs is a hole that reads as zeros.
// Where the file system cannot say, all of [offset, end) is data. An empty
// run (start == end) when there is no more data.
struct data_run {
  std::uint64_t start;
  std::uint64_t end;
};
[[nodiscard]] data_run next_data(const image_source &source, std::uint64_t offset,
                                 std::uint64_t end);

// Asks the system to start reading [offset, offset + length) of the source
// now, without waiting, so that the reads that follow find it in memory;
// on a cold cache a device then has several requests to serve at once.
// Nothing where the system cannot.
void read_ahead(const image_source &source, std::uint64_t offset, std::uint64_t length);

// Whether the page cache holds every byte of data the source has on the
// disk (the file system's own blocks of it are never there), as the system
// tells without reading any; false where it cannot tell, or for a device.
// A copy of a source in memory need not ask for it ahead.
[[nodiscard]] bool is_in_memory(const image_source &source);

// Copies length bytes from source at from to the destination at to inside
// the kernel, where the system can; returns the bytes copied, and sets
// unsupported (and copies nothing) where it cannot, to copy through memory
// instead.
[[nodiscard]] std::uint64_t copy_in_kernel(const image_source &source, std::uint64_t from,
                                           file_handle dest, std::uint64_t to, std::uint64_t length,
                                           bool &unsupported);

// SIGINT, SIGTERM and SIGHUP held back while an image is written, so that
// the run can give back what it took before it ends by the signal: the
// writer asks whether one is waiting between pieces, and a signal still
// waiting when they are released ends the process as it would have. A
// signal the process was started ignoring stays ignored.
void hold_stop_signals();
[[nodiscard]] bool stop_signal_waiting();
void release_stop_signals();

// Memory from the system for one large job whose size only the input
// knows, such as sorting an image's whole map: pages are taken only as they
// are touched, and all of it goes back with give_back_memory. An empty
// span when the system has not that much to give.
[[nodiscard]] std::span<std::uint8_t> borrow_memory(std::uint64_t bytes);
void give_back_memory(std::span<std::uint8_t> memory);

// Why the last call here that failed did, in the system's words: right
// after open_destination, open_source or borrow_memory reports a failure.
// A lock another program holds, and a QEMU that writes the file, are said
// as such.
[[nodiscard]] const char *last_failure_text();

// Seconds since 1970 in UTC, by the system's clock.
[[nodiscard]] std::uint64_t unix_seconds_now();

// Nanoseconds from some fixed point in the past, never going back.
[[nodiscard]] std::uint64_t monotonic_nanoseconds();

struct terminal {
  bool smart;                // a line can be redrawn in place
  std::uint32_t width;       // columns, when smart
  std::uint32_t saved_mode;  // Windows: the console's mode before it was made smart
};

// What standard error is: a terminal that can redraw a line, or anything
// else. A Windows console is switched to take escape sequences.
[[nodiscard]] terminal open_error_terminal();

// The terminal's width now, as it may have been resized.
[[nodiscard]] std::uint32_t error_terminal_width();

// Gives the console back the mode it had before open_error_terminal.
void close_error_terminal(const terminal &opened);

}  // namespace blankimg::platform
