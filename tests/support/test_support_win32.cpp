// Runs of the tool as Windows makes them: CreateProcessW with a command line
// quoted the way the C runtime splits it, standard handles on files.
#include <windows.h>

#include <string>

#include "tests/support/test_support.hpp"

namespace blankimg::test {

namespace {

std::wstring widen(const std::string &utf8) {
  return to_path(utf8).wstring();
}

// One argument as the C runtime reads it back: quoted when it must be, with
// the backslashes before a quote, or before the closing quote, doubled.
std::wstring quote(const std::wstring &argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

HANDLE inheritable_file(const wchar_t *name, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{.nLength = sizeof(SECURITY_ATTRIBUTES),
                              .lpSecurityDescriptor = nullptr,
                              .bInheritHandle = TRUE};
  return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the tool with standard output and error on the given handles.
PROCESS_INFORMATION spawn(const tool_run &run, HANDLE out, HANDLE err) {
  PROCESS_INFORMATION started{};
  if (run.empty_argv || run.file_size_limit || run.stack_limit || run.term ||
      run.terminal_columns || !run.wrapper.empty())
    return started;  // POSIX machinery: the tests skip these here
  std::wstring command_line = quote(widen(run.program_name.value_or(tool_path())));
  for (const std::string &argument : run.arguments)
    command_line += L" " + quote(widen(argument));
  HANDLE input = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out;
  startup.hStdError = err;
  const std::wstring application = widen(tool_path());
  if (CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     nullptr, &startup, &started) == 0)
    started = PROCESS_INFORMATION{};
  CloseHandle(input);
  return started;
}

int exit_status(HANDLE process) {
  DWORD code = 0;
  const bool exited = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                      GetExitCodeProcess(process, &code) != 0;
  return exited ? static_cast<int>(code) : -1;
}

std::string read_text(const std::string &path) {
  const bytes text = read_file(path);
  return {text.begin(), text.end()};
}

}  // namespace

std::string tool_path() {
  // The tests sit one folder below the tool.
  std::wstring module(MAX_PATH, L'\0');
  module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
  const std::u8string path =
      (std::filesystem::path(module).parent_path().parent_path() / BLANKIMG_FILE_NAME).u8string();
  return {path.begin(), path.end()};
}

tool_result run_tool(const tool_run &run) {
  const scratch_dir capture;
  const std::string out = capture.file("stdout");
  const std::string err = capture.file("stderr");
  HANDLE out_handle = inheritable_file(widen(out).c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err_handle = inheritable_file(widen(err).c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  const PROCESS_INFORMATION started = spawn(run, out_handle, err_handle);
  CloseHandle(out_handle);
  CloseHandle(err_handle);
  if (started.hProcess == nullptr)
    return {-1, "", "CreateProcessW failed"};
  const int status = exit_status(started.hProcess);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return {status, read_text(out), read_text(err)};
}

held_lock::held_lock(const std::string &path)
    : handle(reinterpret_cast<std::intptr_t>(CreateFileW(widen(path).c_str(), GENERIC_WRITE,
                                                         FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr))) {}

held_lock::~held_lock() {
  CloseHandle(reinterpret_cast<HANDLE>(handle));  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace blankimg::test
