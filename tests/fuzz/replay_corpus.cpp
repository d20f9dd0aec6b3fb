// Replays every input of a fuzzer's corpus through its target, so that what
// the fuzzers found is checked in every test run, without libFuzzer. A
// target that finds a fault aborts, and the run fails.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(in)),
                                            std::istreambuf_iterator<char>());
      static_cast<void>(LLVMFuzzerTestOneInput(input.data(), input.size()));
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
