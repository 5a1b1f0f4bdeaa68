// Stands in for libFuzzer's driver in ordinary builds: runs the target once over every file of
// the folders (or the files) named on the command line, so the test suite replays the corpus.
// A target reports a broken promise by aborting, which fails the replay.
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& place) {
  std::vector<std::filesystem::path> inputs;
  if (!std::filesystem::is_directory(place)) {
    inputs.push_back(place);
    return inputs;
  }
  for (const auto& entry : std::filesystem::directory_iterator(place)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());  // the same order on every machine
  return inputs;
}

bool replay(const std::filesystem::path& input) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  // A copy of exactly the file's size, so reading one byte past the input shows under ASan.
  std::vector<std::uint8_t> exact(bytes);
  exact.shrink_to_fit();
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& input : inputsOf(argv[i])) {
      if (!replay(input)) {
        std::fprintf(stderr, "cannot read %s\n", input.c_str());
        return 1;
      }
      ++replayed;
    }
  }
  // An empty or misspelt corpus folder must not pass as a clean replay.
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("replayed %zu inputs, peak resident %ld KB\n", replayed, usage.ru_maxrss);
  return 0;
}
