#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host_files.hpp"
#include "platform/posix_calls.hpp"

namespace blankimg::platform {

namespace {

DIR *stream_of(const host_directory &directory) {
  return reinterpret_cast<DIR *>(directory.handle);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

bool look_at(const char *path, host_status &status) {
  struct stat found {};
  if (lstat(path, &found) != 0)
    return false;
  status = {.kind = S_ISREG(found.st_mode)   ? host_kind::file
                    : S_ISDIR(found.st_mode) ? host_kind::directory
                                             : host_kind::other,
            .size = static_cast<std::uint64_t>(found.st_size),
            .modified = static_cast<std::int64_t>(found.st_mtime),
            .writable = (found.st_mode & 0222) != 0};
  return true;
}

bool open_host_directory(const char *path, host_directory &directory) {
  const int fd = retry_interrupted(
      [path] { return open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0)
    return false;
  DIR *stream = fdopendir(fd);
  if (stream == nullptr) {
    const int failure = errno;
    static_cast<void>(close(fd));
    errno = failure;
    return false;
  }
  directory.handle = reinterpret_cast<std::intptr_t>(stream);
  directory.first_pending = false;
  return true;
}

const char *next_host_name(host_directory &directory, bool &failed) {
  for (;;) {
    errno = 0;
    const dirent *entry = readdir(stream_of(directory));
    if (entry == nullptr) {
      failed = errno != 0;
      return nullptr;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      return entry->d_name;
  }
}

void close_host_directory(host_directory &directory) {
  static_cast<void>(closedir(stream_of(directory)));
  directory.handle = 0;
}

bool make_host_directory(const char *path) {
  if (mkdir(path, 0777) == 0)
    return true;
  struct stat found {};
  if (errno != EEXIST || lstat(path, &found) != 0 || !S_ISDIR(found.st_mode)) {
    if (errno == 0)
      errno = EEXIST;
    return false;
  }
  return true;
}

bool create_host_file(const char *path, bool replace, file_handle &file) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  int fd = retry_interrupted([&] { return open(path, flags, 0666); });
  if (fd < 0 && replace && errno == EACCES) {
    // A read-only file made by an earlier extraction is replaced whole.
    static_cast<void>(unlink(path));
    fd = retry_interrupted([&] { return open(path, flags, 0666); });
  }
  if (fd < 0)
    return false;
  file = fd;
  return true;
}

bool finish_host_file(file_handle file, std::uint64_t length) {
  const int fd = static_cast<int>(file);
  const bool sized = fits_off_t(length) && retry_interrupted([&] {
                                             return ftruncate(fd, static_cast<off_t>(length));
                                           }) == 0;
  return close(fd) == 0 && sized;
}

bool set_host_times(const char *path, std::int64_t modified, bool read_only) {
  const std::array<timespec, 2> times = {{{.tv_sec = 0, .tv_nsec = UTIME_OMIT},
                                          {.tv_sec = static_cast<time_t>(modified), .tv_nsec = 0}}};
  if (utimensat(AT_FDCWD, path, times.data(), AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (!read_only)
    return true;
  struct stat found {};
  return lstat(path, &found) == 0 && chmod(path, found.st_mode & 07555) == 0;
}

}  // namespace blankimg::platform
