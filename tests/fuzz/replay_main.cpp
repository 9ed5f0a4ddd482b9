// Runs every file of the given corpus folders through the fuzz target once, so that the
// seeds and every input that once broke the report stay tests in ordinary builds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int a = 1; a < argc; ++a) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[a])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++runs;
    }
  }
  std::printf("replayed %zu inputs\n", runs);
  // An empty corpus would make this test pass while checking nothing.
  return runs > 0 ? 0 : 1;
}
