// Import of a whole 8-bit bitmap against bare compress2 at level 9 of the same pixel bytes (top
// row first, as the import stores them), at 640 x 480 and 4096 x 4096: the import's own work
// (header checks, reading, putting the rows in order) should cost next to nothing beside the
// compression. One run, the best of several rounds taking turns at going first, timed in
// processor time, each figure a ratio against its bound; exit status 1 when one is missed.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "picture_import.h"

namespace {

constexpr double kBound = 1.03;

// The process's processor time: the machine may be busy with other work, which wall time would
// count against whichever side it fell on. Both sides run in this one thread.
double processorSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void putLe32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Something like a real picture: smooth areas with some noise, so deflate has work to do.
std::vector<unsigned char> picturePixels(int width, int height) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height);
  std::uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245u + 12345u;
      int shade = (x / 7 + y / 5) % 64 + ((noise >> 16) % 5 == 0 ? (noise >> 20) % 32 : 0);
      pixels[static_cast<std::size_t>(y) * width + x] = static_cast<unsigned char>(shade);
    }
  }
  return pixels;
}

// A bottom-up 8-bit bitmap of these rows (row 0 of `pixels` is stored first), in the scratch
// folder; "" when it cannot be written.
std::string writeBitmap(int width, int height, const std::vector<unsigned char>& pixels) {
  std::vector<unsigned char> header(1078, 0);
  header[0] = 'B';
  header[1] = 'M';
  putLe32(&header[2], static_cast<std::uint32_t>(header.size() + pixels.size()));
  putLe32(&header[10], 1078);
  putLe32(&header[14], 40);
  putLe32(&header[18], static_cast<std::uint32_t>(width));
  putLe32(&header[22], static_cast<std::uint32_t>(height));
  header[26] = 1;
  header[28] = 8;
  const char* folder = std::getenv("TMPDIR");
  std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                     "/divovod-import-bench-XXXXXX";
  const int descriptor = mkstemp(name.data());
  std::FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
  const bool written = file != nullptr &&
                       std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                       std::fwrite(pixels.data(), 1, pixels.size(), file) == pixels.size();
  const bool closed = file != nullptr && std::fclose(file) == 0;
  if (!written || !closed) {
    if (descriptor >= 0) unlink(name.c_str());
    return {};
  }
  return name;
}

double secondsToImport(const std::string& path) {
  const double start = processorSeconds();
  ImportedImage image{};
  if (!importBitmap(path.c_str(), image).ok()) return -1;
  const double seconds = processorSeconds() - start;
  releaseImportedImage(image);
  return seconds;
}

// compress2 into a block left as malloc gives it, as the import's is.
double secondsToCompress(const std::vector<unsigned char>& pixels) {
  const double start = processorSeconds();
  const std::size_t capacity = static_cast<std::size_t>(outputCapacity(pixels.size()));
  std::unique_ptr<unsigned char, decltype(&std::free)> output(
      static_cast<unsigned char*>(std::malloc(capacity)), &std::free);
  uLongf length = capacity;
  const int status = compress2(output.get(), &length, pixels.data(), pixels.size(), 9);
  const double seconds = processorSeconds() - start;
  return status == Z_OK ? seconds : -1;
}

bool report(const std::string& what, double ratio, double bound) {
  const bool met = ratio <= bound;
  std::printf("%-80s %7.3f (at most %.2f) %s\n", what.c_str(), ratio, bound,
              met ? "met" : "NOT MET");
  return met;
}

bool importAgainstCompress(int width, int height, int rounds) {
  std::vector<unsigned char> pixels = picturePixels(width, height);
  const std::string path = writeBitmap(width, height, pixels);
  if (path.empty()) {
    std::printf("cannot write the %dx%d bitmap\n", width, height);
    return false;
  }
  // The file holds its bottom row first; what the import compresses is the rows the other way.
  flipRows(pixels.data(), width, height);
  double importTime = 1e9;
  double bareTime = 1e9;
  for (int round = 0; round < rounds; ++round) {
    const bool importFirst = round % 2 == 0;
    double imported = 0;
    double bare = 0;
    if (importFirst) {
      imported = secondsToImport(path);
      bare = secondsToCompress(pixels);
    } else {
      bare = secondsToCompress(pixels);
      imported = secondsToImport(path);
    }
    if (imported < 0 || bare < 0) {
      unlink(path.c_str());
      std::printf("the %dx%d import or its compression failed\n", width, height);
      return false;
    }
    importTime = std::min(importTime, imported);
    bareTime = std::min(bareTime, bare);
  }
  unlink(path.c_str());
  std::printf("8-bit bitmap %dx%d: import %.4f s; compress2 %.4f s (processor time, best of %d)\n",
              width, height, importTime, bareTime, rounds);
  return report(
      "8-bit bitmap import / compress2, " + std::to_string(width) + "x" + std::to_string(height),
      importTime / bareTime, kBound);
}

}  // namespace

int main() {
  // glibc raises its mmap threshold as large blocks are freed, and from then on serves them from
  // pages already touched; held at its starting value, every large block is fresh pages on both
  // sides, as in the program's one run.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  bool met = importAgainstCompress(640, 480, 61);
  met = importAgainstCompress(4096, 4096, 7) && met;
  return met ? 0 : 1;
}
