// The data-area modes on real file systems: the one the tests run on, and
// two that the test mounts, one too small for the image and one that cannot
// reserve space.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_support.hpp"

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

// A run that runs out of room gives back all it took of the data area:
// reserved in part (ext4), written in part (tmpfs in full mode, ext2 with
// no fallocate to reserve), and the file ends at the marker.
TEST(FileSystem, EachModeReservesWritesOrLeavesAHoleAndGivesBackRoomItRanOutOf) {
  struct example {
    const char *file_system;  // mounted by the test, or "" for the tests' own
    const char *mode;
    int status;
    bool allocated;  // the data area's disk space is there
    std::vector<std::string> numbers = {"64", "4", "16", "63", "512"};  // 2 MiB of blocks
  };
  const std::vector<std::string> larger_than_the_disk = {"64", "64", "16", "63", "512"};  // 32 MiB
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
      {"ext2", "falloc", 1, false, larger_than_the_disk},
      {"ext4", "falloc", 1, false, larger_than_the_disk},
  };
  const scratch_dir backing;
  const auto make_disk = [&backing](const std::string &type) {
    const std::string disk = backing.file(type + ".img");
    return run_quietly("truncate -s 16M " + disk + " && mkfs." + type + " -q -F " + disk) ? disk
                                                                                          : "";
  };
  const std::string ext2 = geteuid() == 0 ? make_disk("ext2") : "";
  const std::string ext4 = geteuid() == 0 ? make_disk("ext4") : "";
  for (const example &e : examples) {
    const std::string file_system = e.file_system;
    if (!file_system.empty() && (ext2.empty() || ext4.empty()))
      GTEST_SKIP() << "mounting tmpfs and loop-mounted ext2 and ext4 needs root and mkfs";
    const mounted place(file_system == "tmpfs"  ? "mount -t tmpfs -o size=1m tmpfs"
                        : file_system == "ext2" ? "mount -o loop " + ext2
                        : file_system == "ext4" ? "mount -o loop " + ext4
                                                : "");
    ASSERT_TRUE(place.usable) << "cannot mount " << file_system;
    const std::string image = place.dir.file("img");
    const tool_result result = run_tool(
        {.arguments = with_dest(image, e.numbers, {std::string("--preallocation=") + e.mode})});
    const std::string where = file_system + " " + e.mode;
    EXPECT_EQ(result.status, e.status) << where;
    EXPECT_EQ(result.err, e.status == 0 ? "" : "write error\n") << where;
    const std::uint64_t blocks = (std::stoull(e.numbers[1]) * 16 * 63 + 63) / 64;
    const std::uint64_t data_start = 88 + 8 * blocks;
    const std::uint64_t data_bytes = blocks * 32768;
    struct stat status {};
    ASSERT_EQ(stat(image.c_str(), &status), 0);
    const auto allocated = static_cast<std::uint64_t>(status.st_blocks) * 512;
    EXPECT_EQ(allocated >= data_bytes, e.allocated) << where << ": " << allocated << " bytes";
    if (e.status != 0) {
      EXPECT_EQ(file_size(image), data_start) << where;
      EXPECT_LE(allocated, 8192U) << where;  // the header, map and marker alone
      continue;
    }
    EXPECT_EQ(file_size(image), data_start + data_bytes) << where;
    const bytes data = read_part(image, data_start, static_cast<std::size_t>(data_bytes));
    EXPECT_EQ(std::count(data.begin(), data.end(), 0), static_cast<std::ptrdiff_t>(data_bytes))
        << where;
  }
}

}  // namespace
}  // namespace blankimg::test
