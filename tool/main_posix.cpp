// The arguments arrive as the bytes they were given, which is what the tool
// passes on to the file system.
#include <cstddef>
#include <span>

#include "tool/run.hpp"

int main(int argc, char **argv) {
  return blankimg::run(std::span<const char *const>(argv, static_cast<std::size_t>(argc)));
}
