// Feeds every file of a seed corpus folder to the fuzz target once, so that the ordinary test
// run (and the sanitizer build) replays the corpus without libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " CORPUS_FOLDER\n";
    return 2;
  }
  std::vector<std::filesystem::path> inputs;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  // An empty or missing corpus would pass silently, yet test nothing.
  if (error || inputs.empty()) {
    std::cerr << "no seed inputs in " << argv[1] << '\n';
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    if (!file.is_open() || file.bad()) {
      std::cerr << "cannot read " << path.string() << '\n';
      return 1;
    }
    std::cout << path.filename().string() << '\n';
    // libFuzzer never passes a null pointer, even for an empty input.
    static const std::uint8_t kEmpty = 0;
    LLVMFuzzerTestOneInput(
        bytes.empty() ? &kEmpty : reinterpret_cast<const std::uint8_t*>(bytes.data()),
        bytes.size());
  }
  std::cout << inputs.size() << " inputs replayed\n";
  return 0;
}
