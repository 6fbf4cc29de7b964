// Replays a fuzz target's inputs in ordinary test builds: every file of the corpus folder
// given as the first argument (a missing folder is fine), then a few generated inputs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int replayed = 0;
  if (argc > 1 && fs::is_directory(argv[1])) {
    for (const auto& entry : fs::directory_iterator(argv[1])) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::mt19937 rng(12345);
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> bytes(rng() % 512);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++replayed;
  }
  std::printf("%d passed, 0 failed\n", replayed);
  return 0;
}
