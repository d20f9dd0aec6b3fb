#include "tests/support/test_support.hpp"

#include <fstream>
#include <iterator>
#include <random>

namespace blankimg::test {

std::filesystem::path to_path(const std::string &utf8) {
  return {std::u8string(utf8.begin(), utf8.end())};
}

scratch_dir::scratch_dir() {
  std::random_device random;
  for (;;) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() / ("blankimg-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      const std::u8string name = candidate.generic_u8string();
      path.assign(name.begin(), name.end());
      return;
    }
  }
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(to_path(path), ignored);
}

bool file_exists(const std::string &path) {
  return std::filesystem::exists(to_path(path));
}

std::uint64_t file_size(const std::string &path) {
  std::error_code missing;
  const std::uintmax_t size = std::filesystem::file_size(to_path(path), missing);
  return missing ? 0 : size;
}

bytes read_file(const std::string &path) {
  std::ifstream in(to_path(path), std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bytes read_part(const std::string &path, std::uint64_t offset, std::size_t size) {
  bytes part(size);
  std::ifstream in(to_path(path), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char *>(part.data()), static_cast<std::streamsize>(size));
  part.resize(static_cast<std::size_t>(in.gcount()));
  return part;
}

void write_file(const std::string &path, const bytes &content) {
  std::ofstream out(to_path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

std::vector<std::string> with_dest(const std::string &dest, const std::vector<std::string> &numbers,
                                   std::vector<std::string> options) {
  options.push_back(dest);
  options.insert(options.end(), numbers.begin(), numbers.end());
  return options;
}

std::vector<std::string> worked_example_geometry() {
  return {"2", "1", "1", "3", "128"};
}

bytes worked_example_image() {
  bytes image = {
      'T',  'a',  'v',  'r',  'e',  'l',  'i',  'n',   // magic tag
      0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x02,  // header length, fixed word a
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // fixed words b and c
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02,  // blocksize, block count
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,  // cylinders, heads
      0x00, 0x00, 0x00, 0x03,                          // sectors per track
  };
  image.resize(76);  // the two zero blocks
  const bytes tail = {
      0x00, 0x00, 0x00, 0x80,                          // bytes per sector
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x68,  // block 0: 256 bytes at 104
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01, 0x68,  // block 1: 256 bytes at 360
      'E',  'n',  'd',  'O',  'f',  'L',  'i',  's',   // end of list
  };
  image.insert(image.end(), tail.begin(), tail.end());
  image.resize(616);  // two blocks of zeros
  return image;
}

}  // namespace blankimg::test
