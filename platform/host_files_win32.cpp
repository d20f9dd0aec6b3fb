#include <windows.h>

#include <array>
#include <cstring>
#include <cwchar>

#include "platform/host_files.hpp"

namespace blankimg::platform {

namespace {

// 100-nanosecond ticks from 1601 to 1970.
constexpr std::int64_t ticks_to_1970 = 116444736000000000;
constexpr std::int64_t ticks_per_second = 10000000;

// A path in UTF-16, in a buffer of the caller's.
bool widen(const char *path, std::span<wchar_t> wide) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(),
                             static_cast<int>(wide.size())) > 0;
}

using wide_buffer = std::array<wchar_t, 32768>;

std::int64_t seconds_of(FILETIME time) {
  const std::int64_t ticks =
      static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  return (ticks - ticks_to_1970) / ticks_per_second;
}

WIN32_FIND_DATAW &found_of(host_directory &directory) {
  static_assert(sizeof(WIN32_FIND_DATAW) <= sizeof directory.system_state);
  return *reinterpret_cast<WIN32_FIND_DATAW *>(directory.system_state.data());  // NOLINT
}

HANDLE handle_of(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

bool look_at(const char *path, host_status &status) {
  static wide_buffer wide;
  WIN32_FILE_ATTRIBUTE_DATA found{};
  if (!widen(path, wide) || GetFileAttributesExW(wide.data(), GetFileExInfoStandard, &found) == 0)
    return false;
  const DWORD attributes = found.dwFileAttributes;
  status = {.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? host_kind::other
                    : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? host_kind::directory
                                                                     : host_kind::file,
            .size = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
            .modified = seconds_of(found.ftLastWriteTime),
            .writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0};
  return true;
}

bool open_host_directory(const char *path, host_directory &directory) {
  static wide_buffer wide;
  if (!widen(path, std::span(wide).first(wide.size() - 3)))
    return false;
  const std::size_t length = std::wcslen(wide.data());
  const wchar_t *tail =
      length > 0 && (wide[length - 1] == L'\\' || wide[length - 1] == L'/') ? L"*" : L"\\*";
  std::wcscpy(wide.data() + length, tail);
  HANDLE handle = FindFirstFileW(wide.data(), &found_of(directory));
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  directory.handle = reinterpret_cast<std::intptr_t>(handle);
  directory.first_pending = true;
  return true;
}

const char *next_host_name(host_directory &directory, bool &failed) {
  for (;;) {
    if (!directory.first_pending &&
        FindNextFileW(handle_of(directory.handle), &found_of(directory)) == 0) {
      failed = GetLastError() != ERROR_NO_MORE_FILES;
      return nullptr;
    }
    directory.first_pending = false;
    const wchar_t *name = found_of(directory).cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0)
      continue;
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, directory.name.data(),
                            static_cast<int>(directory.name.size()), nullptr, nullptr) <= 0) {
      failed = true;
      return nullptr;
    }
    return directory.name.data();
  }
}

void close_host_directory(host_directory &directory) {
  FindClose(handle_of(directory.handle));
  directory.handle = 0;
}

bool make_host_directory(const char *path) {
  static wide_buffer wide;
  if (!widen(path, wide))
    return false;
  if (CreateDirectoryW(wide.data(), nullptr) != 0)
    return true;
  const DWORD attributes = GetFileAttributesW(wide.data());
  return GetLastError() == ERROR_ALREADY_EXISTS ||
         (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

bool create_host_file(const char *path, bool replace, file_handle &file) {
  static wide_buffer wide;
  if (!widen(path, wide))
    return false;
  if (replace)
    SetFileAttributesW(wide.data(), FILE_ATTRIBUTE_NORMAL);  // a read-only one too
  HANDLE handle = CreateFileW(wide.data(), GENERIC_WRITE, 0, nullptr,
                              replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  file = reinterpret_cast<file_handle>(handle);
  return true;
}

bool finish_host_file(file_handle file, std::uint64_t length) {
  HANDLE handle = handle_of(file);
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  const bool sized = SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
  return CloseHandle(handle) != 0 && sized;
}

bool set_host_times(const char *path, std::int64_t modified, bool read_only) {
  static wide_buffer wide;
  if (!widen(path, wide))
    return false;
  // FILE_FLAG_BACKUP_SEMANTICS opens a directory as well as a file.
  HANDLE handle = CreateFileW(wide.data(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  const auto ticks = static_cast<std::uint64_t>(modified * ticks_per_second + ticks_to_1970);
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const bool set = SetFileTime(handle, nullptr, nullptr, &time) != 0;
  const bool closed = CloseHandle(handle) != 0;
  if (!set || !closed)
    return false;
  if (!read_only)
    return true;
  const DWORD attributes = GetFileAttributesW(wide.data());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         SetFileAttributesW(wide.data(), attributes | FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace blankimg::platform
