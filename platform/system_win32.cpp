#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/system.hpp"

namespace blankimg::platform {

namespace {

constexpr bool fits_int64(std::uint64_t value) {
  return value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

HANDLE handle_of(file_handle file) {
  return reinterpret_cast<HANDLE>(file);  // NOLINT(performance-no-int-to-ptr)
}

// ReadFile and WriteFile take at most 4 GiB less a byte a call.
constexpr std::size_t most_per_call = std::size_t{1} << 30;

// Pipes, consoles and devices have no length and no clusters to give.
bool is_disk_file(HANDLE handle) {
  return GetFileType(handle) == FILE_TYPE_DISK;
}

// dest in UTF-16, for the wide calls that can name every file. A path too
// long for the buffer could not be opened anyway.
const wchar_t *wide_path(const char *path) {
  static std::array<wchar_t, 32768> wide;
  const int written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(),
                                          static_cast<int>(wide.size()));
  return written > 0 ? wide.data() : nullptr;
}

template <typename information>
bool set_information(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, information value) {
  return SetFileInformationByHandle(handle, kind, &value, sizeof value) != 0;
}

bool set_end_of_file(HANDLE handle, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return set_information(handle, FileEndOfFileInfo, end);
}

bool means_no_room(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
         error == ERROR_FILE_TOO_LARGE || error == ERROR_NOT_ENOUGH_QUOTA;
}

// Opens a file that exists on a disk, no directory, pipe or console, as
// source, with the access and sharing given.
bool open_disk_file(const char *path, DWORD access, DWORD sharing, image_source &source) {
  const wchar_t *name = wide_path(path);
  if (name == nullptr)
    return false;
  HANDLE handle =
      CreateFileW(name, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  FILE_STANDARD_INFO standard{};
  if (!is_disk_file(handle) ||
      GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) == 0 ||
      standard.Directory != 0) {
    CloseHandle(handle);
    return false;
  }
  source = {.handle = reinterpret_cast<std::intptr_t>(handle),
            .size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
            .allocated = static_cast<std::uint64_t>(standard.AllocationSize.QuadPart)};
  return true;
}

}  // namespace

const char *const manual_location = "blankimg.txt, beside blankimg.exe";

bool prepare_process() {
  // Text mode would turn every "\n" into "\r\n". The image is reached by
  // its own handle, never through a standard descriptor.
  static_cast<void>(_setmode(_fileno(stdout), _O_BINARY));
  static_cast<void>(_setmode(_fileno(stderr), _O_BINARY));
  return true;
}

destination open_destination(const char *path, bool no_clobber) {
  const wchar_t *name = wide_path(path);
  if (name == nullptr)
    return {.opened = false, .handle = -1, .created = false, .positioned = false};
  // Sharing only reading is the lock: no other writer gets in while this
  // run holds the handle, and one that tries fails at once.
  HANDLE handle =
      CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  no_clobber ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return {.opened = false, .handle = -1, .created = false, .positioned = false};
  const bool created = no_clobber || GetLastError() != ERROR_ALREADY_EXISTS;
  const bool positioned = is_disk_file(handle);
  if (positioned && !set_end_of_file(handle, 0)) {
    CloseHandle(handle);
    return {.opened = false, .handle = -1, .created = false, .positioned = false};
  }
  return {.opened = true,
          .handle = reinterpret_cast<file_handle>(handle),
          .created = created,
          .positioned = positioned};
}

bool destination_would_open(const char *path, bool no_clobber) {
  const wchar_t *name = wide_path(path);
  if (name == nullptr)
    return false;
  const DWORD attributes = GetFileAttributesW(name);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return !no_clobber && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  }
  // Not found in a directory that exists; a missing directory is a path
  // not found.
  return GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::size_t write_at(file_handle file, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::uint64_t end = offset + bytes.size();
  if (end < offset || !fits_int64(end))
    return 0;
  std::size_t written = 0;
  while (written < bytes.size()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + written);
    at.OffsetHigh = static_cast<DWORD>((offset + written) >> 32);
    const auto wanted = static_cast<DWORD>(std::min(bytes.size() - written, most_per_call));
    DWORD put = 0;
    if (WriteFile(handle_of(file), bytes.data() + written, wanted, &put, &at) == 0 || put == 0)
      break;
    written += put;
  }
  return written;
}

std::size_t write_next(file_handle file, std::span<const std::uint8_t> bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const auto wanted = static_cast<DWORD>(std::min(bytes.size() - written, most_per_call));
    DWORD put = 0;
    if (WriteFile(handle_of(file), bytes.data() + written, wanted, &put, nullptr) == 0 || put == 0)
      break;
    written += put;
  }
  return written;
}

space_result reserve_space(file_handle file, std::uint64_t offset, std::uint64_t length) {
  if (!fits_int64(offset) || !fits_int64(length) || !fits_int64(offset + length))
    return space_result::failed;
  HANDLE handle = handle_of(file);
  if (!is_disk_file(handle))
    return space_result::unsupported;
  // Clusters for the whole file, then the file's end moved over them: the
  // range between the old end and the new reads as zeros.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(offset + length);
  if (!set_information(handle, FileAllocationInfo, allocation))
    return means_no_room(GetLastError()) ? space_result::failed : space_result::unsupported;
  return set_end_of_file(handle, offset + length) ? space_result::done : space_result::failed;
}

space_result extend_sparse(file_handle file, std::uint64_t length) {
  if (!fits_int64(length))
    return space_result::failed;
  HANDLE handle = handle_of(file);
  if (!is_disk_file(handle))
    return space_result::unsupported;
  // Where the file system keeps no sparse files, the file is only longer.
  DWORD returned = 0;
  static_cast<void>(
      DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
  return set_end_of_file(handle, length) ? space_result::done : space_result::failed;
}

bool cut_back(file_handle file, std::uint64_t length) {
  HANDLE handle = handle_of(file);
  if (!is_disk_file(handle))
    return true;
  // The end moved back, then the clusters reserved past it given up.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  return fits_int64(length) && set_end_of_file(handle, length) &&
         set_information(handle, FileAllocationInfo, allocation);
}

bool close_destination(file_handle file) {
  return CloseHandle(handle_of(file)) != 0;
}

bool sync_to_storage(file_handle file, const char * /*path*/, bool /*created*/) {
  // A directory entry reaches the disk with the file's own metadata here.
  HANDLE handle = handle_of(file);
  return !is_disk_file(handle) || FlushFileBuffers(handle) != 0;
}

bool open_source(const char *path, image_source &source, bool shared) {
  // Others may go on reading and writing it: a look takes nothing from
  // them. A copy shares reading alone, which no writer's handle allows.
  const DWORD sharing =
      shared ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return open_disk_file(path, GENERIC_READ, sharing, source);
}

bool open_for_update(const char *path, image_source &source) {
  // Sharing only reading, as a destination is held.
  return open_disk_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, source);
}

bool read_at(const image_source &source, std::uint64_t offset, std::span<std::uint8_t> dest) {
  HANDLE handle = reinterpret_cast<HANDLE>(source.handle);  // NOLINT(performance-no-int-to-ptr)
  while (!dest.empty()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min(dest.size(), most_per_call));
    if (ReadFile(handle, dest.data(), wanted, &got, &at) == 0 || got == 0)
      return false;
    dest = dest.subspan(got);
    offset += got;
  }
  return true;
}

bool current_size(const image_source &source, std::uint64_t &size) {
  LARGE_INTEGER end{};
  if (GetFileSizeEx(reinterpret_cast<HANDLE>(source.handle),  // NOLINT(performance-no-int-to-ptr)
                    &end) == 0)
    return false;
  size = static_cast<std::uint64_t>(end.QuadPart);
  return true;
}

std::span<std::uint8_t> borrow_memory(std::uint64_t bytes) {
  if (bytes == 0 || bytes > std::numeric_limits<std::size_t>::max())
    return {};
  const auto length = static_cast<std::size_t>(bytes);
  void *memory = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr)
    return {};
  return {static_cast<std::uint8_t *>(memory), length};
}

void give_back_memory(std::span<std::uint8_t> memory) {
  if (!memory.empty())
    static_cast<void>(VirtualFree(memory.data(), 0, MEM_RELEASE));
}

data_run next_data(const image_source &source, std::uint64_t offset, std::uint64_t end) {
  if (offset >= end)
    return {.start = end, .end = end};
  FILE_ALLOCATED_RANGE_BUFFER asked{};
  asked.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  asked.Length.QuadPart = static_cast<LONGLONG>(end - offset);
  FILE_ALLOCATED_RANGE_BUFFER first{};
  DWORD returned = 0;
  const BOOL answered =
      DeviceIoControl(handle_of(source.handle), FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof asked,
                      &first, sizeof first, &returned, nullptr);
  if (answered == 0 && GetLastError() != ERROR_MORE_DATA)
    return {.start = offset, .end = end};  // the file system cannot say
  if (returned < sizeof first)
    return {.start = end, .end = end};
  const auto start = std::max(offset, static_cast<std::uint64_t>(first.FileOffset.QuadPart));
  const std::uint64_t stop = static_cast<std::uint64_t>(first.FileOffset.QuadPart) +
                             static_cast<std::uint64_t>(first.Length.QuadPart);
  return {.start = std::min(start, end), .end = std::min(std::max(start, stop), end)};
}

void read_ahead(const image_source & /*source*/, std::uint64_t /*offset*/,
                std::uint64_t /*length*/) {}  // the cache manager reads ahead of its own accord

bool is_in_memory(const image_source & /*source*/) {
  return false;  // the cache manager reads ahead of its own accord
}

std::uint64_t copy_in_kernel(const image_source & /*source*/, std::uint64_t /*from*/,
                             file_handle /*dest*/, std::uint64_t /*to*/, std::uint64_t /*length*/,
                             bool &unsupported) {
  unsupported = true;  // no such call: the copy goes through memory
  return 0;
}

bool is_same_file(const char *path, const image_source &source) {
  const wchar_t *name = wide_path(path);
  if (name == nullptr)
    return false;
  // Opened for no access at all: only to be told which file it is.
  HANDLE named = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  const bool same = GetFileInformationByHandle(named, &first) != 0 &&
                    GetFileInformationByHandle(handle_of(source.handle), &second) != 0 &&
                    first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
                    first.nFileIndexHigh == second.nFileIndexHigh &&
                    first.nFileIndexLow == second.nFileIndexLow;
  CloseHandle(named);
  return same;
}

// A console's Ctrl+C ends the process at once, as it always has: a run
// killed so leaves a copy's image without its end-of-list marker.
void hold_stop_signals() {}

bool stop_signal_waiting() {
  return false;
}

void release_stop_signals() {}

void close_source(const image_source &source) {
  CloseHandle(reinterpret_cast<HANDLE>(source.handle));  // NOLINT(performance-no-int-to-ptr)
}

const char *last_failure_text() {
  static std::array<char, 512> text;
  const DWORD error = GetLastError();
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
    return "in use: another program holds it open";
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     text.data(), static_cast<DWORD>(text.size()), nullptr);
  // The system's words end in a full stop and a line break; the line has its own.
  DWORD end = length;
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == '.'))
    --end;
  text[end] = '\0';
  return end > 0 ? text.data() : "the system gives no reason";
}

std::uint64_t unix_seconds_now() {
  // 100-nanosecond ticks since 1601, less the 369 years to 1970.
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
  constexpr std::uint64_t ticks_to_1970 = 116444736000000000;
  return ticks > ticks_to_1970 ? (ticks - ticks_to_1970) / 10000000 : 0;
}

std::uint64_t monotonic_nanoseconds() {
  LARGE_INTEGER count{};
  LARGE_INTEGER frequency{};
  static_cast<void>(QueryPerformanceCounter(&count));
  static_cast<void>(QueryPerformanceFrequency(&frequency));
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / per_second * 1'000'000'000U + ticks % per_second * 1'000'000'000U / per_second;
}

terminal open_error_terminal() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  const char *term = std::getenv("TERM");
  // A console redraws a line once it takes the escape sequences a terminal
  // would.
  if (GetConsoleMode(handle, &mode) == 0 || (term != nullptr && std::strcmp(term, "dumb") == 0) ||
      SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0)
    return {.smart = false, .width = 0, .saved_mode = 0};
  return {.smart = true, .width = error_terminal_width(), .saved_mode = mode};
}

std::uint32_t error_terminal_width() {
  constexpr std::uint32_t fallback_width = 80;
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen) == 0)
    return fallback_width;
  return static_cast<std::uint32_t>(screen.srWindow.Right - screen.srWindow.Left + 1);
}

void close_error_terminal(const terminal &opened) {
  if (opened.smart)
    static_cast<void>(SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), opened.saved_mode));
}

}  // namespace blankimg::platform
