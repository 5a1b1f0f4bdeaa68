// The figures that matter for pictures put into the game's colours, measured once and given as
// ratios, each against its bound:
//   1. mapping a 4096 x 4096 photo-like true-colour picture onto a palette, against Pillow's
//      quantize onto the same palette (at most as long), plain and with Floyd-Steinberg, and
//      against the brute-force search whose answers it must equal (timed over every eighth row;
//      at least 10 times faster); Pillow's plain answer is not always the nearest colour, and
//      the share of its pixels where it is not is shown;
//   2. importing an indexed PNG, against libspng's decoding plus compress2 of the same picture
//      (at most 1.05), for drawn art and for a quantized photo, whose noise makes the checks'
//      inflating of the image data cost the most; every large block fresh pages on both sides;
//   3. the peak memory of importing an n-pixel true-colour PNG with a palette, in a fresh
//      process (at most 6.1 n + 20 MB).
#include <malloc.h>
#include <spng.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "colour_mapping.h"
#include "picture_import.h"

namespace {

constexpr int kSide = 4096;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Palette gamePalette() {
  Palette palette{};
  std::uint32_t state = 7;
  for (auto& entry : palette.entries) {
    for (int c = 0; c < 3; ++c) {
      state = state * 1103515245u + 12345u;
      entry[c] = static_cast<unsigned char>(state >> 23);
    }
  }
  return palette;
}

// Smooth gradients with sensor-like noise: millions of distinct colours, as in a photo.
std::vector<unsigned char> photo(int side, int channels) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(side) * side * channels);
  std::uint32_t noise = 12345;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      unsigned char* pixel = &pixels[(static_cast<std::size_t>(y) * side + x) * channels];
      for (int c = 0; c < 3; ++c) {
        noise = noise * 1103515245u + 12345u;
        const int base = c == 0 ? x / 16 : c == 1 ? y / 16 : (x + y) / 32;
        pixel[c] = static_cast<unsigned char>((base + static_cast<int>(noise >> 28)) & 255);
      }
      if (channels == 4) pixel[3] = 255;
    }
  }
  return pixels;
}

std::vector<unsigned char> encodePng(const std::vector<unsigned char>& pixels, int width,
                                     int height, bool indexed, const Palette* colours = nullptr) {
  spng_ctx* encoder = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(encoder, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{};
  header.width = static_cast<std::uint32_t>(width);
  header.height = static_cast<std::uint32_t>(height);
  header.bit_depth = 8;
  header.color_type = indexed ? SPNG_COLOR_TYPE_INDEXED : SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(encoder, &header);
  if (indexed) {
    spng_plte palette{};
    palette.n_entries = 256;
    for (int i = 0; i < 256; ++i) {  // the game's colours are blue, green, red
      palette.entries[i].red = colours ? colours->entries[i][2] : static_cast<std::uint8_t>(i);
      palette.entries[i].green =
          colours ? colours->entries[i][1] : static_cast<std::uint8_t>(255 - i);
      palette.entries[i].blue = colours ? colours->entries[i][0] : static_cast<std::uint8_t>(i * 7);
    }
    spng_set_plte(encoder, &palette);
  }
  spng_encode_image(encoder, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  int error = 0;
  auto* png = static_cast<unsigned char*>(spng_get_png_buffer(encoder, &size, &error));
  spng_ctx_free(encoder);
  std::vector<unsigned char> bytes;
  if (png != nullptr) bytes.assign(png, png + size);
  std::free(png);
  return bytes;
}

bool writeWhole(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written && !bytes.empty();
}

std::string scratchFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                     "/divovod-colour-bench-XXXXXX";
  return mkdtemp(name.data()) != nullptr ? name : std::string();
}

// A side x side picture as a PNG file in the scratch folder; empty on failure.
std::string pngFile(const std::string& folder, const char* name,
                    const std::vector<unsigned char>& pixels, int side, bool indexed) {
  const std::string path = folder + "/" + name;
  return writeWhole(path, encodePng(pixels, side, side, indexed)) ? path : std::string();
}

bool report(const char* what, double ratio, double bound, bool atLeast) {
  const bool met = atLeast ? ratio >= bound : ratio <= bound;
  std::printf("%-80s %7.3f (%s %.2f) %s\n", what, ratio, atLeast ? "at least" : "at most", bound,
              met ? "met" : "NOT MET");
  return met;
}

DecodedPicture trueColourPicture(const std::vector<unsigned char>& rgba) {
  DecodedPicture picture;
  picture.width = picture.height = kSide;
  picture.indexed = false;
  picture.pixels = allocateBytes(static_cast<std::int64_t>(rgba.size()));
  std::memcpy(picture.pixels.get(), rgba.data(), rgba.size());
  return picture;
}

// The mapping's time, the copy of the picture it works on made before the clock starts.
double secondsToMap(const std::vector<unsigned char>& rgba, const Palette& palette, bool dither,
                    std::vector<unsigned char>* indices = nullptr) {
  DecodedPicture picture = trueColourPicture(rgba);
  ImportOptions options;
  options.hasPalette = true;
  options.palette = palette;
  options.dither = dither;
  MappingReport mapping;
  const Clock::time_point start = Clock::now();
  const bool mapped = mapPicture(picture, options, mapping).ok();
  const double seconds = secondsSince(start);
  if (indices != nullptr) {
    indices->assign(picture.pixels.get(), picture.pixels.get() + pixelCountOf(picture));
  }
  return mapped ? seconds : -1;
}

bool sameAsBruteForce(const std::vector<unsigned char>& rgba, const Palette& palette,
                      const std::vector<unsigned char>& indices, double mapTime) {
  const Clock::time_point start = Clock::now();
  std::vector<unsigned char> brute;
  for (int y = 0; y < kSide; y += 8) {
    for (int x = 0; x < kSide; ++x) {
      const unsigned char* p = &rgba[(static_cast<std::size_t>(y) * kSide + x) * 4];
      brute.push_back(nearestByBruteForce(palette, -1, p[0], p[1], p[2]));
    }
  }
  const double slow = secondsSince(start) * 8;
  std::size_t at = 0;
  for (int y = 0; y < kSide; y += 8) {
    for (int x = 0; x < kSide; ++x, ++at) {
      if (indices[static_cast<std::size_t>(y) * kSide + x] != brute[at]) {
        std::printf("mapping differs from the brute-force answer at %d, %d\n", x, y);
        return false;
      }
    }
  }
  std::printf("mapping %dx%d: %.3f s; brute force (scaled from every eighth row): %.3f s\n", kSide,
              kSide, mapTime, slow);
  return report("brute-force search time / mapping time", slow / mapTime, 10.0, true);
}

// Pillow's quantize onto the same palette, timed by Python itself around the call alone, the
// best of `repeats`; its plain answer's indices are left in the scratch folder.
const char* const kPillowScript = R"(import sys, time
from PIL import Image
picture_path, palette_path, indices_path, repeats = sys.argv[1:5]
picture = Image.open(picture_path).convert("RGB")
palette = Image.open(palette_path)
palette.load()
for dither in (Image.Dither.NONE, Image.Dither.FLOYDSTEINBERG):
    best = None
    for _ in range(int(repeats)):
        start = time.perf_counter()
        quantized = picture.quantize(palette=palette, dither=dither)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    if dither == Image.Dither.NONE:
        with open(indices_path, "wb") as out:
            out.write(quantized.tobytes())
    print(best)
)";

// The Python that has Pillow: python3 on the PATH, else the system's own, where its package puts
// Pillow. Empty when neither has it.
std::string pythonWithPillow() {
  for (const char* python : {"python3", "/usr/bin/python3"}) {
    const std::string command = std::string(python) + " -c 'import PIL.Image' > /dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return python;
  }
  return std::string();
}

struct PillowTimes {
  double plain = -1;
  double dithered = -1;
};

PillowTimes timePillow(const std::string& python, const std::string& folder) {
  PillowTimes times;
  const std::string command = python + " '" + folder + "/quantize.py' '" + folder +
                              "/photo.png' '" + folder + "/palette.png' '" + folder +
                              "/pillow.raw' 3";
  std::FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return times;
  if (std::fscanf(child, "%lf %lf", &times.plain, &times.dithered) != 2) times = PillowTimes{};
  pclose(child);
  return times;
}

// How many of Pillow's plain answers are farther from their pixel's colour than the nearest.
double shareNotNearest(const std::string& path, const std::vector<unsigned char>& rgba,
                       const Palette& palette, const std::vector<unsigned char>& exact) {
  std::vector<unsigned char> theirs(exact.size());
  std::FILE* file = std::fopen(path.c_str(), "rb");
  const bool read =
      file != nullptr && std::fread(theirs.data(), 1, theirs.size(), file) == theirs.size();
  if (file != nullptr) std::fclose(file);
  if (!read) return -1;
  auto distance = [&](std::size_t i, unsigned char index) {
    const unsigned char* p = &rgba[i * 4];
    const int dr = p[0] - palette.entries[index][2];
    const int dg = p[1] - palette.entries[index][1];
    const int db = p[2] - palette.entries[index][0];
    return dr * dr + dg * dg + db * db;
  };
  std::size_t farther = 0;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    farther += distance(i, theirs[i]) > distance(i, exact[i]);
  }
  return static_cast<double>(farther) / static_cast<double>(exact.size());
}

void removeScratch(const std::string& folder) {
  for (const char* name : {"quantize.py", "photo.png", "palette.png", "pillow.raw"}) {
    unlink((folder + "/" + name).c_str());
  }
  rmdir(folder.c_str());
}

// Mapping a photo-like picture plain and with Floyd-Steinberg, against Pillow's quantize of the
// same picture onto the same palette: the best of five rounds each, taking turns at going first
// (Pillow runs on one processor and the mapping on all of them, so a round where another program
// holds a processor counts against the mapping alone: more rounds, more chances at a quiet one).
bool mappingAgainstPillow() {
  const std::string python = pythonWithPillow();
  if (python.empty()) {
    std::printf(
        "python3 with Pillow is missing (the packages python3 and python3-pil): the "
        "mapping cannot be timed against Pillow's quantize\n");
    return false;
  }
  const Palette palette = gamePalette();
  const std::vector<unsigned char> rgba = photo(kSide, 4);
  const std::string folder = scratchFolder();
  std::vector<unsigned char> paletteIndices(256);
  for (int i = 0; i < 256; ++i) paletteIndices[i] = static_cast<unsigned char>(i);
  const bool written =
      !folder.empty() && !pngFile(folder, "photo.png", photo(kSide, 3), kSide, false).empty() &&
      writeWhole(folder + "/palette.png", encodePng(paletteIndices, 16, 16, true, &palette)) &&
      writeWhole(
          folder + "/quantize.py",
          std::vector<unsigned char>(kPillowScript, kPillowScript + std::strlen(kPillowScript)));
  if (!written) {
    std::printf("the scratch files for Pillow could not be written\n");
    if (!folder.empty()) removeScratch(folder);
    return false;
  }
  double plain = 1e9, dithered = 1e9;
  PillowTimes pillow{1e9, 1e9};
  std::vector<unsigned char> indices;
  for (int round = 0; round < 5; ++round) {
    const bool oursFirst = round % 2 == 0;
    PillowTimes theirs;
    if (!oursFirst) theirs = timePillow(python, folder);
    const double ourPlain = secondsToMap(rgba, palette, false, &indices);
    const double ourDithered = secondsToMap(rgba, palette, true);
    if (oursFirst) theirs = timePillow(python, folder);
    if (ourPlain < 0 || ourDithered < 0 || theirs.plain < 0) {
      std::printf("the mapping or Pillow's quantize failed\n");
      removeScratch(folder);
      return false;
    }
    plain = std::min(plain, ourPlain);
    dithered = std::min(dithered, ourDithered);
    pillow.plain = std::min(pillow.plain, theirs.plain);
    pillow.dithered = std::min(pillow.dithered, theirs.dithered);
  }
  const double share = shareNotNearest(folder + "/pillow.raw", rgba, palette, indices);
  removeScratch(folder);
  bool met = sameAsBruteForce(rgba, palette, indices, plain);
  std::printf(
      "mapping %dx%d: %.3f s; Pillow's quantize (%s): %.3f s, %.2f %% of its pixels not "
      "the nearest colour\n",
      kSide, kSide, plain, python.c_str(), pillow.plain, share * 100);
  met =
      report("mapping / Pillow's quantize, no dithering", plain / pillow.plain, 1.0, false) && met;
  std::printf("Floyd-Steinberg %dx%d: %.3f s; Pillow's: %.3f s\n", kSide, kSide, dithered,
              pillow.dithered);
  return report("Floyd-Steinberg mapping / Pillow's Floyd-Steinberg quantize",
                dithered / pillow.dithered, 1.0, false) &&
         met;
}

// Indices of a photo quantized to 256 colours (noisy: deflate keeps half its size), or of drawn
// art (flat areas and outlines, as most indexed pictures are).
std::vector<unsigned char> indexedPicture(bool noisy) {
  std::vector<unsigned char> indices = photo(kSide, 1);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const std::size_t x = i % kSide;
    const std::size_t y = i / kSide;
    indices[i] = noisy ? static_cast<unsigned char>(indices[i] / 4 + x / 64)
                       : static_cast<unsigned char>((x / 40 + y / 24) % 32 + (x % 40 == 0) * 200);
  }
  return indices;
}

double secondsToImport(const std::string& path) {
  const Clock::time_point start = Clock::now();
  ImportedImage image{};
  if (!importBitmap(path.c_str(), image).ok()) return -1;
  releaseImportedImage(image);
  return secondsSince(start);
}

double secondsToDecodeAndCompress(const std::string& path) {
  const Clock::time_point start = Clock::now();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  spng_ctx* decoder = spng_ctx_new(0);
  spng_set_png_file(decoder, file);
  std::size_t size = 0;
  spng_decoded_image_size(decoder, SPNG_FMT_PNG, &size);
  // Blocks left as malloc gives them, as the import's are: no time spent zeroing them.
  std::unique_ptr<unsigned char, decltype(&std::free)> decoded(
      static_cast<unsigned char*>(std::malloc(size)), &std::free);
  spng_decode_image(decoder, decoded.get(), size, SPNG_FMT_PNG, 0);
  spng_ctx_free(decoder);
  std::fclose(file);
  const std::size_t capacity = static_cast<std::size_t>(outputCapacity(size));
  std::unique_ptr<unsigned char, decltype(&std::free)> output(
      static_cast<unsigned char*>(std::malloc(capacity)), &std::free);
  uLongf length = capacity;
  compress2(output.get(), &length, decoded.get(), size, 9);
  return secondsSince(start);
}

bool indexedPngAgainstDecodeAndCompress(bool noisy) {
  const std::string folder = scratchFolder();
  const std::string path =
      folder.empty() ? folder : pngFile(folder, "indexed.png", indexedPicture(noisy), kSide, true);
  if (path.empty()) {
    if (!folder.empty()) rmdir(folder.c_str());
    return false;
  }
  // glibc's malloc raises its mmap threshold as large blocks are freed, and from then on serves
  // them from pages already touched: whichever side came second in a round would skip thousands
  // of page faults the other paid, which weighs more than the checks themselves. Held at its
  // starting value, every large block is fresh pages on both sides, as in the program's one run.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  double importTime = 1e9;
  double bareTime = 1e9;
  for (int round = 0; round < 5; ++round) {  // the best of five, taking turns at going first
    const bool importFirst = round % 2 == 0;
    const double first = importFirst ? secondsToImport(path) : secondsToDecodeAndCompress(path);
    const double second = importFirst ? secondsToDecodeAndCompress(path) : secondsToImport(path);
    const double imported = importFirst ? first : second;
    if (imported < 0) {
      unlink(path.c_str());
      rmdir(folder.c_str());
      return false;
    }
    importTime = std::min(importTime, imported);
    bareTime = std::min(bareTime, importFirst ? second : first);
  }
  unlink(path.c_str());
  rmdir(folder.c_str());
  const char* kind = noisy ? "quantized photo" : "drawn art";
  std::printf("indexed PNG %dx%d, %s: import %.3f s; libspng decode + compress2 %.3f s\n", kSide,
              kSide, kind, importTime, bareTime);
  return report(noisy ? "indexed PNG import / (libspng decode + compress2), quantized photo"
                      : "indexed PNG import / (libspng decode + compress2), drawn art",
                importTime / bareTime, 1.05, false);
}

long residentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// In the child: the peak resident size the import adds, in kilobytes, on standard output.
int measurePeak(const char* path, const char* palettePath) {
  ImportOptions options;
  options.hasPalette = readPalette(palettePath, options.palette).ok();
  const long before = residentKilobytes();
  ImportedImage image{};
  if (!options.hasPalette || !importPicture(path, options, image).ok()) return 1;
  std::printf("%ld\n", residentKilobytes() - before);
  return 0;
}

bool peakMemory(const char* self) {
  const std::string folder = scratchFolder();
  const std::string path =
      folder.empty() ? folder : pngFile(folder, "photo.png", photo(kSide, 3), kSide, false);
  if (path.empty()) {
    if (!folder.empty()) rmdir(folder.c_str());
    return false;
  }
  const std::string palette = path + ".act";
  std::FILE* table = std::fopen(palette.c_str(), "wb");
  const Palette colours = gamePalette();
  for (const auto& entry : colours.entries) std::fwrite(entry, 1, 3, table);
  std::fclose(table);
  const std::string command = std::string("'") + self + "' --peak '" + path + "' '" + palette + "'";
  std::FILE* child = popen(command.c_str(), "r");
  long added = -1;
  if (child == nullptr || std::fscanf(child, "%ld", &added) != 1) added = -1;
  if (child != nullptr) pclose(child);
  unlink(path.c_str());
  unlink(palette.c_str());
  rmdir(folder.c_str());
  if (added < 0) return false;
  const double n = double(kSide) * kSide;
  const double bound = 6.1 * n + 20e6;
  std::printf(
      "true-colour PNG %dx%d with a palette: peak %.1f MB (bound 6.1 n + 20 MB = %.1f MB)\n", kSide,
      kSide, added * 1024.0 / 1e6, bound / 1e6);
  return report("peak memory / (6.1 n + 20 MB)", added * 1024.0 / bound, 1.0, false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) return measurePeak(argv[2], argv[3]);
  bool met = mappingAgainstPillow();
  // --mapping: only the figures of the mapping against Pillow's quantize.
  if (argc == 2 && std::strcmp(argv[1], "--mapping") == 0) return met ? 0 : 1;
  met = indexedPngAgainstDecodeAndCompress(false) && met;
  met = indexedPngAgainstDecodeAndCompress(true) && met;
  met = peakMemory(argv[0]) && met;
  return met ? 0 : 1;
}
