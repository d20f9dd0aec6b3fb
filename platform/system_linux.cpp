// What only Linux has: reserved space, holes found by seeking, copies in
// the kernel, and locks of the open file description.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix_calls.hpp"
#include "platform/system.hpp"

namespace blankimg::platform {

const int record_lock_command = F_OFD_SETLK;
const int record_test_command = F_OFD_GETLK;
const int open_without_atime = O_NOATIME;

namespace {

// What copy_file_range says when it will not copy this pair of files this
// way, though reads and writes would: across file systems, on one that
// lacks it, under a seccomp filter (EPERM), or for a file open elsewhere
// for execution. The list coreutils' copy falls back on.
constexpr bool kernel_cannot_copy(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTTY || error == EBADF || error == ETXTBSY || error == EPERM ||
         error == EACCES || error == ENOENT;
}

}  // namespace

space_result reserve_space(file_handle file, std::uint64_t offset, std::uint64_t length) {
  if (!fits_off_t(offset) || !fits_off_t(length) || !fits_off_t(offset + length))
    return space_result::failed;
  // fallocate itself, not posix_fallocate: where the file system cannot
  // reserve space, glibc's emulation writes a byte per block, slowly.
  const int result = retry_interrupted([&] {
    return fallocate(static_cast<int>(file), 0, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  });
  if (result == 0)
    return space_result::done;
  return means_unsupported(errno) ? space_result::unsupported : space_result::failed;
}

data_run next_data(const image_source &source, std::uint64_t offset, std::uint64_t end) {
  const int fd = static_cast<int>(source.handle);
  if (offset >= end)
    return {.start = end, .end = end};
  const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0)
    // ENXIO: no data from offset on; anything else: the system cannot say.
    return errno == ENXIO ? data_run{.start = end, .end = end}
                          : data_run{.start = offset, .end = end};
  const auto start = std::min(static_cast<std::uint64_t>(data), end);
  const off_t hole = lseek(fd, data, SEEK_HOLE);
  const std::uint64_t stop = hole < 0 ? end : std::min(static_cast<std::uint64_t>(hole), end);
  return {.start = start, .end = std::max(start, stop)};
}

std::uint64_t copy_in_kernel(const image_source &source, std::uint64_t from, file_handle dest,
                             std::uint64_t to, std::uint64_t length, bool &unsupported) {
  unsupported = false;
  auto in = static_cast<off_t>(from);
  auto out = static_cast<off_t>(to);
  std::uint64_t copied = 0;
  while (copied < length) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, 1U << 30));
    const ssize_t moved = copy_file_range(static_cast<int>(source.handle), &in,
                                          static_cast<int>(dest), &out, piece, 0);
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved < 0 && kernel_cannot_copy(errno))
      unsupported = true;
    if (moved <= 0)
      break;
    copied += static_cast<std::uint64_t>(moved);
  }
  return copied;
}

bool is_in_memory(const image_source &source) {
  // cachestat(2), Linux 6.5 on, counts a file's pages in memory without
  // reading any, against the blocks it has on the disk. Asked once, before
  // the copy: pages the copy's own reads bring in count as cached while
  // still on their way.
  struct range {
    std::uint64_t offset;
    std::uint64_t length;  // 0: to the end of the file
  };
  struct counts {
    std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
  };
  constexpr long cachestat_call = 451;  // one number on x86, ARM and s390x alike
  const int fd = static_cast<int>(source.handle);
  struct stat status {};
  const range whole{.offset = 0, .length = 0};
  counts found{};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      syscall(cachestat_call, fd, &whole, &found, 0) != 0)
    return false;                           // ENOSYS on an older kernel: the copy reads ahead
  const long page = sysconf(_SC_PAGESIZE);  // what cachestat counts in: 64 KiB on some ARM
  // st_blocks counts the file system's own blocks of the file too, which
  // are never in its page cache: ext4's extent blocks (one for up to 340
  // runs of data, so any file of more than four), XFS's, an attribute
  // block. A 128th of the file and 16 KiB more hold them.
  const auto allocated = static_cast<std::uint64_t>(status.st_blocks) * 512;
  const std::uint64_t own_blocks = allocated / 128 + std::uint64_t{16} * 1024;
  return page > 0 && found.cached * static_cast<std::uint64_t>(page) + own_blocks >= allocated;
}

}  // namespace blankimg::platform
