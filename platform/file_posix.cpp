#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/file.hpp"

namespace blankimg::platform {

namespace {

constexpr bool fits_off_t(std::uint64_t value) {
  return value <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

// Errors that mean "not here", as opposed to "no room".
constexpr bool means_unsupported(int error) {
  return error == EOPNOTSUPP || error == ENOSYS || error == ENODEV || error == ESPIPE ||
         error == EINVAL;
}

}  // namespace

bool seek(std::FILE *file, std::uint64_t position) {
  return fits_off_t(position) && fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

space_result reserve_space(std::FILE *file, std::uint64_t offset, std::uint64_t length) {
  if (!fits_off_t(offset) || !fits_off_t(length) || !fits_off_t(offset + length))
    return space_result::failed;
  // fallocate itself, not posix_fallocate: where the file system cannot
  // reserve space, glibc's emulation writes a byte per block, slowly.
  int result = 0;
  do {
    result = fallocate(fileno(file), 0, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result == 0)
    return space_result::done;
  return means_unsupported(errno) ? space_result::unsupported : space_result::failed;
}

space_result extend_sparse(std::FILE *file, std::uint64_t length) {
  if (!fits_off_t(length))
    return space_result::failed;
  const int fd = fileno(file);
  struct stat status {};
  if (fstat(fd, &status) != 0)
    return space_result::failed;
  // Pipes and devices have no length to set.
  if (!S_ISREG(status.st_mode))
    return space_result::unsupported;
  int result = 0;
  do {
    result = ftruncate(fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0 ? space_result::done : space_result::failed;
}

}  // namespace blankimg::platform
