// Any byte string as an episode file, read and checked from memory, then reported as `show`
// reports it. Besides the sanitizers, every input is held to what the reader promises: checking
// allocates nothing from the heap's picture blocks; an intact file's pictures inflate again to
// exactly the pixels counted, in one block of just that size, which the stream's own bytes back
// (1032 pixels a byte at most); and the JSON report parses back and agrees on the verdict.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "allocation.h"
#include "episode_reader.h"
#include "episode_report.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "episode reader fuzz: %s\n", what);
  std::abort();
}

struct AllocationWatch {
  std::int64_t allowed = 0;
  std::int64_t requested = 0;
};
AllocationWatch watch;

void* watchedAllocate(std::size_t size) {
  watch.requested += static_cast<std::int64_t>(size);
  // Checked before the block exists: an oversized request must not get the chance to succeed.
  if (watch.requested > watch.allowed) fail("allocation beyond what the file backs");
  return std::malloc(size);
}

struct MemoryFile {
  MemoryFile(const std::uint8_t* data, std::size_t size) {
    // fmemopen wants a writable buffer, and a zero-length one is refused by some C libraries.
    bytes.assign(data, data + size);
    bytes.push_back(0);
    file = fmemopen(bytes.data(), size, "rb");
  }
  ~MemoryFile() {
    if (file != nullptr) std::fclose(file);
  }
  std::vector<std::uint8_t> bytes;
  std::FILE* file = nullptr;
};

void checkIntact(std::FILE* file, const EpisodeContents& contents) {
  const EpisodeHeader& header = contents.header;
  const std::int64_t stored[3] = {
      std::int64_t{header.episodeImageWidth} * header.episodeImageHeight, -1,
      std::int64_t{header.lowtitleImageWidth} * header.lowtitleImageHeight};
  for (int i = 0; i < 3; ++i) {
    const PictureBlock& block = contents.pictures[i];
    if (stored[i] >= 0 && block.pixelCount != stored[i]) fail("intact, but not width x height");
    if (block.pixelCount > std::int64_t{block.streamSize} * kLargestInflateRatio) {
      fail("more pixels than the stream's bytes can back");
    }
    watch = AllocationWatch{std::max<std::int64_t>(block.pixelCount, 1), 0};
    PixelBlock pixels = inflatePicture(file, block);
    if (!pixels) fail("an intact picture does not inflate again");
    // The same pixels a block at a time, as the preview takes them.
    std::int64_t streamed = 0;
    const bool whole = streamPicture(file, block, [&](const unsigned char* part, std::size_t n) {
      if (std::memcmp(part, pixels.get() + streamed, n) != 0) fail("streamed pixels differ");
      streamed += static_cast<std::int64_t>(n);
    });
    if (!whole || streamed != block.pixelCount) fail("an intact picture does not stream whole");
  }
}

void checkReport(const EpisodeContents& contents) {
  const bool intact = episodeIntact(contents);
  if (episodeProblems(contents).empty() != intact) fail("problems and verdict disagree");
  const nlohmann::json report = nlohmann::json::parse(showAsJson("fuzz.z4k", contents), nullptr,
                                                      /*allow_exceptions=*/false);
  if (report.is_discarded() || report["intact"] != intact) fail("JSON report broken");
  showAsText("fuzz.z4k", contents);
}

void readAndCheck(std::FILE* file, std::int64_t titlePixels) {
  allocateBlock = &watchedAllocate;
  watch = AllocationWatch{0, 0};
  const EpisodeContents contents = readEpisode(file, titlePixels);
  if (episodeIntact(contents)) checkIntact(file, contents);
  allocateBlock = &allocateSystemBlock;
  checkReport(contents);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFile memory(data, size);
  if (memory.file == nullptr) return 0;
  readAndCheck(memory.file, -1);
  // The title held to a given size, as `extract --title-size` holds it: here the episode's.
  if (size >= 184) {
    const std::int64_t width = data[176] | data[177] << 8;
    const std::int64_t height = data[180] | data[181] << 8;
    readAndCheck(memory.file, width * height);
  }
  return 0;
}
