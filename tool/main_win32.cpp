// Windows hands a program its arguments in UTF-16; main's char arguments
// would be in the ANSI code page, which cannot name every file. The tool
// takes them as UTF-16 and runs on their UTF-8 form.
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <span>

#include "tool/run.hpp"

namespace {

// A command line holds at most 32767 UTF-16 units, each at most 3 UTF-8
// bytes, and at most one argument per two units.
constexpr std::size_t max_command_line = 32767;
std::array<char, 3 * max_command_line + max_command_line> utf8_text;
std::array<const char *, max_command_line / 2 + 2> utf8_arguments;

}  // namespace

int wmain(int argc, wchar_t **argv) {
  const auto count = static_cast<std::size_t>(argc);
  if (count + 1 > utf8_arguments.size())
    return EXIT_FAILURE;
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int room = static_cast<int>(utf8_text.size() - used);
    const int written = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8_text.data() + used, room,
                                            nullptr, nullptr);
    if (written <= 0)
      return EXIT_FAILURE;
    utf8_arguments[i] = utf8_text.data() + used;
    used += static_cast<std::size_t>(written);
  }
  return blankimg::run(std::span<const char *const>(utf8_arguments.data(), count));
}
