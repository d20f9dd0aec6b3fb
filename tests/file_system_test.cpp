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

#include "tests/test_support.hpp"

namespace blankimg::test {
namespace {

// The commands are fixed text and scratch paths that the test made itself.
bool run_quietly(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;  // NOLINT(cert-env33-c)
}

// A file system mounted on a scratch directory for the length of a test.
struct mounted {
  explicit mounted(const std::string &mount_command) {
    ok = geteuid() == 0 && run_quietly(mount_command + " " + dir.path);
  }
  ~mounted() {
    if (ok)
      static_cast<void>(run_quietly("umount " + dir.path));
  }
  mounted(const mounted &) = delete;
  mounted &operator=(const mounted &) = delete;
  scratch_dir dir;
  bool ok = false;
};

std::vector<std::string> command(const std::string &mode, const std::string &dest) {
  // 2 MiB of data area in 63 blocks of 32 KiB
  return with_dest(dest, {"64", "4", "16", "63", "512"}, {"--preallocation=" + mode});
}
constexpr std::uint64_t data_start = 88 + 8 * 63;
constexpr std::uint64_t image_size = data_start + std::uint64_t{63} * 32768;

void expect_zero_data_area(const std::string &image) {
  const bytes written = read_file(image);
  ASSERT_EQ(written.size(), image_size);
  EXPECT_EQ(std::count(written.begin() + data_start, written.end(), 0),
            static_cast<std::ptrdiff_t>(image_size - data_start));
}

TEST(FileSystem, ReservesOrWritesTheDataAreaUnlessAskedForAHole) {
  struct example {
    const char *mode;
    bool allocated;
  };
  const example examples[] = {{"falloc", true}, {"full", true}, {"off", false}};
  // 8 MiB of data area, in 16 blocks
  const std::vector<std::string> numbers = {"1024", "1", "4", "4096", "512"};
  const std::uint64_t data_bytes = std::uint64_t{16384} * 512;
  for (const example &e : examples) {
    const scratch_dir dir;
    const std::string image = dir.file("img");
    ASSERT_EQ(run_tool({.arguments =
                            with_dest(image, numbers, {std::string("--preallocation=") + e.mode})})
                  .status,
              0);
    struct stat status {};
    ASSERT_EQ(stat(image.c_str(), &status), 0);
    EXPECT_EQ(file_size(image), 88 + 8 * 16 + data_bytes) << e.mode;
    EXPECT_EQ(static_cast<std::uint64_t>(status.st_blocks) * 512 >= data_bytes, e.allocated)
        << e.mode << ": " << status.st_blocks << " blocks";
    const bytes tail = read_part(image, 88 + 8 * 16, data_bytes);
    EXPECT_EQ(std::count(tail.begin(), tail.end(), 0), static_cast<std::ptrdiff_t>(data_bytes))
        << e.mode;
  }
}

TEST(FileSystem, OnlyAHoleFitsOnATmpfsTooSmallForTheImage) {
  const mounted tmpfs("mount -t tmpfs -o size=1m tmpfs");
  if (!tmpfs.ok)
    GTEST_SKIP() << "mounting a tmpfs needs root";
  for (const char *mode : {"falloc", "full"}) {
    const tool_result result = run_tool({.arguments = command(mode, tmpfs.dir.file("img"))});
    EXPECT_EQ(result.status, 1) << mode;
    EXPECT_EQ(result.err, "write error\n") << mode;
    ASSERT_EQ(unlink(tmpfs.dir.file("img").c_str()), 0);
  }
  const tool_result result = run_tool({.arguments = command("off", tmpfs.dir.file("img"))});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  expect_zero_data_area(tmpfs.dir.file("img"));
}

TEST(FileSystem, ReservingFallsBackToWritingWhereTheFileSystemCannot) {
  const scratch_dir backing;
  const std::string disk = backing.file("ext2.img");
  if (geteuid() != 0 || !run_quietly("truncate -s 16M " + disk + " && mkfs.ext2 -q -F " + disk))
    GTEST_SKIP() << "making and mounting an ext2 file system needs root and mkfs.ext2";
  const mounted ext2("mount -o loop " + disk);
  if (!ext2.ok)
    GTEST_SKIP() << "no loop device to mount ext2 on";
  const std::string image = ext2.dir.file("img");
  const tool_result result = run_tool({.arguments = command("falloc", image)});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  expect_zero_data_area(image);
  struct stat status {};
  ASSERT_EQ(stat(image.c_str(), &status), 0);
  EXPECT_GE(static_cast<std::uint64_t>(status.st_blocks) * 512, image_size - data_start);
}

}  // namespace
}  // namespace blankimg::test
