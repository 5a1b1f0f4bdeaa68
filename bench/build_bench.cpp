// `divovod build` of three 640x480 pictures, run in-process, against three bare compress2 calls
// at level 9 on the same pixel bytes: everything build does besides compressing (reading and
// checking the pictures, the row flip, writing and syncing the episode file) should cost next to
// nothing beside them. The ratio of the two is the figure to watch (goal: at most 1.05).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "picture_import.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

void putLe32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Something like a real picture: smooth areas with some noise, so deflate has work to do; each
// of the three a little different.
std::vector<unsigned char> picturePixels(int seed) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(kWidth) * kHeight);
  std::uint32_t noise = 12345u + static_cast<std::uint32_t>(seed);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      int shade = (x / (7 + seed) + y / 5) % 64 + ((noise >> 16) % 5 == 0 ? (noise >> 20) % 32 : 0);
      pixels[static_cast<std::size_t>(y) * kWidth + x] = static_cast<unsigned char>(shade);
    }
  }
  return pixels;
}

void writePicture(const std::string& path, const std::vector<unsigned char>& pixels) {
  std::vector<unsigned char> header(1078, 0);
  header[0] = 'B';
  header[1] = 'M';
  putLe32(&header[2], static_cast<std::uint32_t>(1078 + pixels.size()));
  putLe32(&header[10], 1078);
  putLe32(&header[14], 40);
  putLe32(&header[18], kWidth);
  putLe32(&header[22], kHeight);
  header[26] = 1;
  header[28] = 8;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), file);
  std::fwrite(pixels.data(), 1, pixels.size(), file);
  std::fclose(file);
}

struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/divovod-build-bench-XXXXXX";
    folder = mkdtemp(pattern);
    for (int i = 0; i < 3; ++i) {
      pixels[i] = picturePixels(i);
      writePicture(picture(i), pixels[i]);
      // The file holds its bottom row first; what build compresses is the rows flipped.
      flipRows(pixels[i].data(), kWidth, kHeight);
    }
  }
  ~Scratch() {
    for (int i = 0; i < 3; ++i) unlink(picture(i).c_str());
    unlink(output().c_str());
    rmdir(folder.c_str());
  }
  std::string picture(int i) const { return folder + "/picture" + std::to_string(i) + ".bmp"; }
  std::string output() const { return folder + "/bench.z4k"; }
  std::string folder;
  std::vector<unsigned char> pixels[3];  // as build compresses them: top row first
};

void buildThreePictures(benchmark::State& state) {
  Scratch scratch;
  const std::vector<std::string> arguments = {"build",
                                              "--episode-image",
                                              scratch.picture(0),
                                              "--title-image",
                                              scratch.picture(1),
                                              "--lowtitle-image",
                                              scratch.picture(2),
                                              "--position",
                                              "3",
                                              "--name",
                                              "Bench",
                                              "--start-level",
                                              "b1.lev",
                                              "--output",
                                              scratch.output()};
  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (runCommandLine(arguments, out, err) != kExitDone) state.SkipWithError(err.str().c_str());
  }
}

void threeBareCompressCalls(benchmark::State& state) {
  Scratch scratch;
  std::vector<unsigned char> output(static_cast<std::size_t>(outputCapacity(kWidth * kHeight)));
  for (auto _ : state) {
    for (const std::vector<unsigned char>& pixels : scratch.pixels) {
      uLongf length = output.size();
      compress2(output.data(), &length, pixels.data(), pixels.size(), 9);
      benchmark::DoNotOptimize(output.data());
    }
  }
}

BENCHMARK(buildThreePictures)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(threeBareCompressCalls)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
