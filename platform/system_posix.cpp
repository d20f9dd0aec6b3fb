#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/posix_calls.hpp"
#include "platform/system.hpp"

namespace blankimg::platform {

namespace {

constexpr mode_t new_file_mode = 0666;  // less the umask, as fopen creates

bool is_regular(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Opens without waiting for a reader's lease to be broken, which takes the
// kernel 45 s: a file someone holds a lease on is refused at once, as a
// locked one is. A FIFO with no reader yet refuses a writer that does not
// wait, and is opened again waiting for one. The descriptor then blocks as
// usual.
int open_at_once(const char *path, int flags) {
  const auto open_path = [path](int with) {
    return retry_interrupted([&] { return open(path, with, new_file_mode); });
  };
  int fd = open_path(flags | O_NONBLOCK);
  if (fd < 0 && errno == ENXIO)
    return open_path(flags);
  if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    static_cast<void>(close(fd));
    return -1;
  }
  return fd;
}

// Opens without cutting: the file is cut only once it is locked.
int open_uncut(const char *path, bool no_clobber, bool &created) {
  const auto open_path = [path](int flags) { return open_at_once(path, flags); };
  created = true;
  int fd = open_path(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
  if (fd >= 0 || errno != EEXIST || no_clobber)
    return fd;
  created = false;
  fd = open_path(O_WRONLY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT)
    return fd;
  // Gone since, or a link to nothing: create it, as fopen would.
  created = true;
  return open_path(O_WRONLY | O_CREAT | O_CLOEXEC);
}

// Both kinds of lock, without waiting: flock, which another run of this
// tool takes, and a whole-file write lock of the open-file-description kind,
// which emulators take on the images they have open and which also meets
// the POSIX record locks of fcntl.
bool lock_whole_file(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // l_start and l_len 0: the whole file, however long
  return retry_interrupted([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0 &&
         retry_interrupted([&] { return fcntl(fd, record_lock_command, &whole); }) == 0;
}

// Locks and cuts a regular file; pipes and devices are neither. A file
// that is empty and holds no blocks once locked is left uncut: ext4 takes a
// cut to length 0 for a file being replaced, and then starts writing the
// whole image out at the close, which took half again as long as the run
// itself. Blocks reserved past the end of an empty file (fallocate -n) are
// freed only by the cut.
bool claim(int fd) {
  if (!is_regular(fd))
    return true;
  struct stat locked {};
  return lock_whole_file(fd) && fstat(fd, &locked) == 0 &&
         ((locked.st_size == 0 && locked.st_blocks == 0) ||
          retry_interrupted([fd] { return ftruncate(fd, 0); }) == 0);
}

// QEMU's lock protocol: a process that writes the image holds a shared
// lock on byte 101 (write) or 102 (write-unchanged), and one that will
// have no other writer holds byte 201 or 202. A lock test of bytes 101
// and 102 finds such a writer.
constexpr off_t qemu_write_permission = 101;
constexpr off_t qemu_write_bytes = 2;

bool held_by_qemu_writer(int fd) {
  struct flock test {};
  test.l_type = F_WRLCK;
  test.l_whence = SEEK_SET;
  test.l_start = qemu_write_permission;
  test.l_len = qemu_write_bytes;
  const bool held = fcntl(fd, record_test_command, &test) == 0 && test.l_type != F_UNLCK;
  if (held)
    errno = EBUSY;
  return held;
}

// A read lock of [start, start + length), or to the end where length is 0.
bool lock_range_for_reading(int fd, off_t start, off_t length) {
  struct flock range {};
  range.l_type = F_RDLCK;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  return retry_interrupted([&] { return fcntl(fd, record_lock_command, &range); }) == 0;
}

// A reader's locks, without waiting: flock against another run of this
// tool; read locks of the whole file but QEMU's write bytes, against
// writers' record locks (covering byte 201, they also keep QEMU from
// starting to write), yet never taken for a QEMU writer by another
// reader's test; and then the test for a QEMU that writes already.
bool lock_for_reading(int fd) {
  return retry_interrupted([fd] { return flock(fd, LOCK_SH | LOCK_NB); }) == 0 &&
         lock_range_for_reading(fd, 0, qemu_write_permission) &&
         lock_range_for_reading(fd, qemu_write_permission + qemu_write_bytes, 0) &&
         !held_by_qemu_writer(fd);
}

// fsync, where a special file that cannot be synced has nothing to sync.
bool sync_descriptor(int fd) {
  return retry_interrupted([fd] { return fsync(fd); }) == 0 || (errno == EINVAL && !is_regular(fd));
}

// The directory that holds the entry path names, opened; -1 when it cannot
// be. Through symbolic links the entry stands where the last link leads, so
// each link is followed from the directory it stands in, one step at a
// time: no step needs the whole path, which may be longer than PATH_MAX.
int open_directory_holding(const char *path) {
  static std::array<char, PATH_MAX + 1> name;
  static std::array<char, PATH_MAX + 1> target;
  const std::string_view given = path;
  if (given.size() >= name.size())
    return -1;
  *std::ranges::copy(given, name.begin()).out = '\0';
  int directory = AT_FDCWD;
  constexpr int most_links = 40;  // as the kernel follows, before ELOOP
  for (int links = 0; links <= most_links; ++links) {
    // Split name into its directory and its last part.
    const std::string_view whole = name.data();
    const std::size_t slash = whole.find_last_of('/');
    const char *last = name.data();
    int parent = directory;
    if (slash != std::string_view::npos) {
      name[slash] = '\0';
      last = name.data() + slash + 1;
      const char *parent_name = slash == 0 ? "/" : name.data();
      parent = retry_interrupted(
          [&] { return openat(directory, parent_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    } else if (directory == AT_FDCWD) {
      parent = retry_interrupted([] { return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    } else {
      parent = fcntl(directory, F_DUPFD_CLOEXEC, 0);
    }
    if (directory != AT_FDCWD)
      static_cast<void>(close(directory));
    if (parent < 0)
      return -1;
    const ssize_t length = readlinkat(parent, last, target.data(), target.size() - 1);
    if (length < 0 && (errno == EINVAL || errno == ENOENT))
      return parent;  // not a link: the entry stands here
    if (length < 0) {
      static_cast<void>(close(parent));
      return -1;
    }
    target[static_cast<std::size_t>(length)] = '\0';
    name = target;
    directory = parent;
  }
  static_cast<void>(close(directory));
  return -1;
}

bool sync_directory_holding(const char *path) {
  const int fd = open_directory_holding(path);
  if (fd < 0)
    return false;
  const bool synced = sync_descriptor(fd);
  return close(fd) == 0 && synced;
}

// Writes all of bytes through write_some(rest, written so far), which
// writes what it can; stops at an error or at a write of nothing.
template <typename write_call>
std::size_t write_all(std::span<const std::uint8_t> bytes, write_call write_some) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = write_some(bytes.subspan(written), written);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      break;
    written += static_cast<std::size_t>(put);
  }
  return written;
}

// The signals that stop a run at a user's word or a session's end.
constexpr std::array<int, 3> stop_signal_numbers = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : stop_signal_numbers)
    sigaddset(&set, signal_number);
  return set;
}

// The first stop signal waiting, or 0.
int waiting_stop_signal() {
  sigset_t waiting;
  sigemptyset(&waiting);
  if (sigpending(&waiting) != 0)
    return 0;
  const auto *const found = std::ranges::find_if(
      stop_signal_numbers,
      [&waiting](int signal_number) { return sigismember(&waiting, signal_number) == 1; });
  return found == stop_signal_numbers.end() ? 0 : *found;
}

}  // namespace

const char *const manual_location = "man blankimg";

bool prepare_process() {
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  // A closed standard descriptor would be the next one open hands out: the
  // image would become standard error, and the progress lines would land in
  // it. /dev/null takes each such slot first, lowest first, as open fills
  // them, open for reading only: what is printed there fails as it would
  // have, and a result that could not be printed is a write error.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    if (retry_interrupted([] { return open("/dev/null", O_RDONLY); }) != fd)
      return false;
  }
  return true;
}

destination open_destination(const char *path, bool no_clobber) {
  bool created = false;
  const int fd = open_uncut(path, no_clobber, created);
  if (fd >= 0 && claim(fd)) {
    struct stat status {};
    const bool positioned =
        fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
    return {.opened = true, .handle = fd, .created = created, .positioned = positioned};
  }
  if (fd >= 0) {
    const int failure = errno;
    static_cast<void>(close(fd));
    errno = failure;
  }
  return {.opened = false, .handle = -1, .created = false, .positioned = false};
}

bool destination_would_open(const char *path, bool no_clobber) {
  struct stat status {};
  if (lstat(path, &status) == 0) {
    // A link to nothing is made through, unless no file may be replaced.
    if (no_clobber) {
      errno = EEXIST;
      return false;
    }
    if (stat(path, &status) != 0)
      return errno == ENOENT;
    if (S_ISDIR(status.st_mode)) {
      errno = EISDIR;
      return false;
    }
    return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
  }
  if (errno != ENOENT)
    return false;
  static std::array<char, PATH_MAX + 1> directory;
  const std::string_view whole = path;
  const std::size_t slash = whole.find_last_of('/');
  std::string_view name = ".";
  if (slash == 0)
    name = "/";
  else if (slash != std::string_view::npos)
    name = std::string_view(path, slash);
  if (name.size() >= directory.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  *std::ranges::copy(name, directory.begin()).out = '\0';
  if (stat(directory.data(), &status) != 0)
    return false;
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return faccessat(AT_FDCWD, directory.data(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::size_t write_at(file_handle file, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::uint64_t end = offset + bytes.size();
  if (end < offset || !fits_off_t(end))
    return 0;
  return write_all(bytes, [file, offset](std::span<const std::uint8_t> rest, std::size_t done) {
    return pwrite(static_cast<int>(file), rest.data(), rest.size(),
                  static_cast<off_t>(offset + done));
  });
}

std::size_t write_next(file_handle file, std::span<const std::uint8_t> bytes) {
  return write_all(bytes, [file](std::span<const std::uint8_t> rest, std::size_t /*done*/) {
    return write(static_cast<int>(file), rest.data(), rest.size());
  });
}

space_result extend_sparse(file_handle file, std::uint64_t length) {
  if (!fits_off_t(length))
    return space_result::failed;
  const int fd = static_cast<int>(file);
  // Pipes and devices have no length to set.
  if (!is_regular(fd))
    return space_result::unsupported;
  if (retry_interrupted([&] { return ftruncate(fd, static_cast<off_t>(length)); }) == 0)
    return space_result::done;
  // FAT through FUSE cannot lengthen a file so, and says EPERM.
  return errno == EPERM ? space_result::unsupported : space_result::failed;
}

bool cut_back(file_handle file, std::uint64_t length) {
  const int fd = static_cast<int>(file);
  if (!is_regular(fd))
    return true;
  // A cut to the length the file already has still frees, on ext4, what a
  // reservation that ran out left allocated past the end.
  return fits_off_t(length) &&
         retry_interrupted([&] { return ftruncate(fd, static_cast<off_t>(length)); }) == 0;
}

bool close_destination(file_handle file) {
  // A close interrupted by a signal has still closed the descriptor on
  // Linux: it is never retried.
  return close(static_cast<int>(file)) == 0;
}

bool sync_to_storage(file_handle file, const char *path, bool created) {
  if (!sync_descriptor(static_cast<int>(file)))
    return false;
  if (!created)
    return true;
  return sync_directory_holding(path);
}

bool open_source(const char *path, image_source &source, bool shared) {
  // Without waiting for a writer, should path be a FIFO.
  constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // O_NOATIME is for the file's owner alone; for anyone else the read may
  // set the access time, as any reader's does.
  int fd = retry_interrupted([path] { return open(path, flags | open_without_atime); });
  if (fd < 0 && errno == EPERM)
    fd = retry_interrupted([path] { return open(path, flags); });
  if (fd < 0)
    return false;
  struct stat status {};
  off_t end = 0;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
    end = status.st_size;
  else if (S_ISBLK(status.st_mode))
    end = lseek(fd, 0, SEEK_END);
  else
    end = -1;
  if (end < 0)
    errno = S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;  // no file to read at any offset
  if (end < 0 || (shared && !lock_for_reading(fd))) {
    const int failure = errno;
    static_cast<void>(close(fd));
    errno = failure;
    return false;
  }
  source = {.handle = fd,
            .size = static_cast<std::uint64_t>(end),
            .allocated = static_cast<std::uint64_t>(status.st_blocks) * 512};
  return true;
}

bool open_for_update(const char *path, image_source &source) {
  const int fd = open_at_once(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat status {};
  const bool usable =
      fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
  if (!usable)
    errno = S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;
  if (!usable || (S_ISREG(status.st_mode) && !lock_whole_file(fd))) {
    const int failure = errno;
    static_cast<void>(close(fd));
    errno = failure;
    return false;
  }
  const off_t end = S_ISREG(status.st_mode) ? status.st_size : lseek(fd, 0, SEEK_END);
  source = {.handle = fd,
            .size = static_cast<std::uint64_t>(std::max<off_t>(end, 0)),
            .allocated = static_cast<std::uint64_t>(status.st_blocks) * 512};
  return true;
}

bool read_at(const image_source &source, std::uint64_t offset, std::span<std::uint8_t> dest) {
  const int fd = static_cast<int>(source.handle);
  while (!dest.empty()) {
    if (!fits_off_t(offset))
      return false;
    const ssize_t got = pread(fd, dest.data(), dest.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    dest = dest.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool current_size(const image_source &source, std::uint64_t &size) {
  const int fd = static_cast<int>(source.handle);
  struct stat status {};
  if (fstat(fd, &status) != 0)
    return false;
  const off_t end = S_ISREG(status.st_mode) ? status.st_size : lseek(fd, 0, SEEK_END);
  size = static_cast<std::uint64_t>(end);
  return end >= 0;
}

std::span<std::uint8_t> borrow_memory(std::uint64_t bytes) {
  if (bytes == 0 || bytes > std::numeric_limits<std::size_t>::max())
    return {};
  const auto length = static_cast<std::size_t>(bytes);
  void *memory = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED)
    return {};
  return {static_cast<std::uint8_t *>(memory), length};
}

void give_back_memory(std::span<std::uint8_t> memory) {
  if (!memory.empty())
    static_cast<void>(munmap(memory.data(), memory.size()));
}

void read_ahead(const image_source &source, std::uint64_t offset, std::uint64_t length) {
  if (fits_off_t(offset) && fits_off_t(length))
    static_cast<void>(posix_fadvise(static_cast<int>(source.handle), static_cast<off_t>(offset),
                                    static_cast<off_t>(length), POSIX_FADV_WILLNEED));
}

bool is_same_file(const char *path, const image_source &source) {
  struct stat named {};
  struct stat opened {};
  if (stat(path, &named) != 0 || fstat(static_cast<int>(source.handle), &opened) != 0)
    return false;
  if (S_ISBLK(named.st_mode) && S_ISBLK(opened.st_mode))
    return named.st_rdev == opened.st_rdev;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

void hold_stop_signals() {
  const sigset_t set = stop_signals();
  static_cast<void>(sigprocmask(SIG_BLOCK, &set, nullptr));
}

bool stop_signal_waiting() {
  return waiting_stop_signal() != 0;
}

void release_stop_signals() {
  // A signal that waited is delivered here, and ends the process. Should
  // the process outlive it (a tracer may hold a delivery back), the signal
  // is raised again, by its default action.
  const int waited = waiting_stop_signal();
  const sigset_t set = stop_signals();
  static_cast<void>(sigprocmask(SIG_UNBLOCK, &set, nullptr));
  if (waited != 0) {
    static_cast<void>(std::signal(waited, SIG_DFL));
    static_cast<void>(std::raise(waited));
  }
}

void close_source(const image_source &source) {
  // Nothing was written: the close has nothing to report.
  static_cast<void>(close(static_cast<int>(source.handle)));
}

const char *last_failure_text() {
  switch (errno) {
  case EWOULDBLOCK:
    return "in use: another program holds it locked";
  case EBUSY:
    return "in use: a program such as QEMU writes it";
  case ESPIPE:
    return "not a file that can be read at any offset";
  default:
    return std::strerror(errno);
  }
}

std::uint64_t unix_seconds_now() {
  timespec now{};
  static_cast<void>(clock_gettime(CLOCK_REALTIME, &now));
  return now.tv_sec > 0 ? static_cast<std::uint64_t>(now.tv_sec) : 0;
}

std::uint64_t monotonic_nanoseconds() {
  timespec now{};
  static_cast<void>(clock_gettime(CLOCK_MONOTONIC, &now));
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U +
         static_cast<std::uint64_t>(now.tv_nsec);
}

terminal open_error_terminal() {
  const char *term = std::getenv("TERM");
  if (isatty(STDERR_FILENO) == 0 || term == nullptr || std::strcmp(term, "dumb") == 0)
    return {.smart = false, .width = 0, .saved_mode = 0};
  return {.smart = true, .width = error_terminal_width(), .saved_mode = 0};
}

std::uint32_t error_terminal_width() {
  constexpr std::uint32_t fallback_width = 80;
  winsize size{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col
                                                                         : fallback_width;
}

void close_error_terminal(const terminal & /*opened*/) {}

}  // namespace blankimg::platform
