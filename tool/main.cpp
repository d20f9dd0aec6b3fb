// blankimg [--preallocation=off|falloc|full] dest blocksize cylinders heads
//          sectors/tracks bytes/sector
//
// Creates a blank block-mapped disk image. Silent on success; on failure
// prints one line on standard error and exits 1.
#include <cstdio>
#include <cstdlib>
#include <span>

#include "tool/command_line.hpp"
#include "tool/write_image.hpp"

namespace {

// Prints the failure's one line; should standard error itself fail, the
// exit status still tells.
int report(blankimg::run_status status, std::span<const char *const> command_line) {
  using blankimg::run_status;
  if (status == run_status::ok)
    return EXIT_SUCCESS;
  const char *name = blankimg::program_name(command_line);
  if (status == run_status::usage) {
    static_cast<void>(std::fprintf(
        stderr, "%s dest blocksize cylinders heads sectors/tracks bytes/sector\n", name));
  } else {
    static_cast<void>(std::fputs(blankimg::message_for(status), stderr));
  }
  return EXIT_FAILURE;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace blankimg;
  const std::span<const char *const> command_line(argv, static_cast<std::size_t>(argc));

  image_plan plan{};
  if (const run_status checked = plan_image(command_line, plan); checked != run_status::ok)
    return report(checked, command_line);

  output_stream stream{};
  if (!open_image(plan.dest, stream))
    return report(run_status::cant_open_dest, command_line);
  run_status status = write_image(stream, plan);
  if (!close_image(stream) && status == run_status::ok)
    status = run_status::write_error;
  return report(status, command_line);
}
