// The data-area modes on real file systems: the one the tests run on, and
// two that the test mounts, one too small for the image and one that cannot
// reserve space.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_support.hpp"

namespace blankimg::test {
namespace {

// The commands are fixed text and scratch paths that the test made itself.
bool run_quietly(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;  // NOLINT(cert-env33-c)
}

// A scratch directory, with a file system mounted on it for the length of a
// test unless the mount command is empty.
struct mounted {
  explicit mounted(const std::string &mount_command) {
    mounted_here = !mount_command.empty() && run_quietly(mount_command + " " + dir.path);
    usable = mount_command.empty() || mounted_here;
  }
  ~mounted() {
    if (mounted_here)
      static_cast<void>(run_quietly("umount " + dir.path));
  }
  mounted(const mounted &) = delete;
  mounted &operator=(const mounted &) = delete;
  scratch_dir dir;
  bool mounted_here = false;
  bool usable = false;
};

TEST(FileSystem, EachModeReservesWritesOrLeavesAHoleAndReportsWantOfRoom) {
  struct example {
    const char *file_system;  // mounted by the test, or "" for the tests' own
    const char *mode;
    int status;
    bool allocated;  // the data area's disk space is there
  };
  const example examples[] = {
      {"", "falloc", 0, true},
      {"", "full", 0, true},
      {"", "off", 0, false},
      // 1 MiB: only a hole fits the 2 MiB data area.
      {"tmpfs", "falloc", 1, false},
      {"tmpfs", "full", 1, false},
      {"tmpfs", "off", 0, false},
      // No fallocate there: the zeros are written instead.
      {"ext2", "falloc", 0, true},
  };
  // 2 MiB of data area in 63 blocks of 32 KiB
  constexpr std::uint64_t data_start = 88 + 8 * 63;
  constexpr std::uint64_t data_bytes = std::uint64_t{63} * 32768;
  const scratch_dir backing;
  const std::string disk = backing.file("ext2.img");
  const bool can_mount =
      geteuid() == 0 && run_quietly("truncate -s 16M " + disk + " && mkfs.ext2 -q -F " + disk);
  for (const example &e : examples) {
    const std::string file_system = e.file_system;
    if (!file_system.empty() && !can_mount)
      GTEST_SKIP() << "mounting tmpfs and a loop-mounted ext2 needs root and mkfs.ext2";
    const mounted place(file_system == "tmpfs"  ? "mount -t tmpfs -o size=1m tmpfs"
                        : file_system == "ext2" ? "mount -o loop " + disk
                                                : "");
    ASSERT_TRUE(place.usable) << "cannot mount " << file_system;
    const std::string image = place.dir.file("img");
    const tool_result result =
        run_tool({.arguments = with_dest(image, {"64", "4", "16", "63", "512"},
                                         {std::string("--preallocation=") + e.mode})});
    const std::string where = file_system + " " + e.mode;
    EXPECT_EQ(result.status, e.status) << where;
    EXPECT_EQ(result.err, e.status == 0 ? "" : "write error\n") << where;
    if (e.status != 0)
      continue;
    EXPECT_EQ(file_size(image), data_start + data_bytes) << where;
    const bytes data = read_part(image, data_start, data_bytes);
    EXPECT_EQ(std::count(data.begin(), data.end(), 0), static_cast<std::ptrdiff_t>(data_bytes))
        << where;
    struct stat status {};
    ASSERT_EQ(stat(image.c_str(), &status), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(status.st_blocks) * 512 >= data_bytes, e.allocated)
        << where << ": " << status.st_blocks << " blocks";
  }
}

}  // namespace
}  // namespace blankimg::test
