// Import of a whole 8-bit picture against bare compress2 at level 9 of the same pixel bytes: the
// import's own work (header checks, reading, the row flip) should cost next to nothing beside it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "picture_import.h"

namespace {

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

std::string writePicture(int width, int height, const std::vector<unsigned char>& pixels) {
  std::vector<unsigned char> header(1078, 0);
  header[0] = 'B';
  header[1] = 'M';
  putLe32(&header[10], 1078);
  putLe32(&header[14], 40);
  putLe32(&header[18], static_cast<std::uint32_t>(width));
  putLe32(&header[22], static_cast<std::uint32_t>(height));
  header[26] = 1;
  header[28] = 8;
  char name[] = "/tmp/divovod-bench-XXXXXX";
  int descriptor = mkstemp(name);
  std::FILE* file = fdopen(descriptor, "wb");
  std::fwrite(header.data(), 1, header.size(), file);
  std::fwrite(pixels.data(), 1, pixels.size(), file);
  std::fclose(file);
  return name;
}

void importPicture(benchmark::State& state) {
  int width = static_cast<int>(state.range(0));
  int height = static_cast<int>(state.range(1));
  std::string path = writePicture(width, height, picturePixels(width, height));
  for (auto _ : state) {
    ImportedImage image{};
    if (!importBitmap(path.c_str(), image).ok()) state.SkipWithError("import failed");
    releaseImportedImage(image);
  }
  unlink(path.c_str());
}

void bareCompress(benchmark::State& state) {
  int width = static_cast<int>(state.range(0));
  int height = static_cast<int>(state.range(1));
  std::vector<unsigned char> pixels = picturePixels(width, height);
  std::vector<unsigned char> output(static_cast<std::size_t>(outputCapacity(pixels.size())));
  for (auto _ : state) {
    uLongf length = output.size();
    compress2(output.data(), &length, pixels.data(), pixels.size(), 9);
    benchmark::DoNotOptimize(output.data());
  }
}

BENCHMARK(importPicture)->Args({640, 480})->Args({4096, 4096})->Unit(benchmark::kMillisecond);
BENCHMARK(bareCompress)->Args({640, 480})->Args({4096, 4096})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
