// `divovod build` measured in one run, each figure a ratio against its bound (exit status 1 when
// one is missed). Every build runs in a fresh process of this program (so its peak memory and
// processor time are its own), the best of several rounds, taking turns with what it is held to:
//   1. three photo-like 8-bit bitmaps (4096 x 4096, 4096 x 2048, 2048 x 2048), wall time, against
//      the floor the three compressions allow: the longest single compress2, or all three summed
//      and shared out over the processors, whichever is larger (at most 1.1);
//   2. the same build held to one processor, against the build with its picture threads off
//      (DIVOVOD_PICTURE_THREADS=1) held to the same processor, processor time (at most 1.02);
//   3. the peak memory that build adds, against the three pictures' single imports' peaks summed,
//      plus 20 MB (at most 1);
//   4. build --palette of a true-colour 4096 x 4096 PNG, against build of the same picture
//      already in the game's colours (an indexed PNG of the same size), processor time (at most
//      1.15; it rests on the speed of the colour mapping and of the PNG reading).
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <spng.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "picture_import.h"

namespace {

using Clock = std::chrono::steady_clock;
using Pixels = std::vector<unsigned char>;

constexpr int kRounds = 3;
constexpr int kPhotoRounds = 5;  // wall time: more chances at a quiet machine

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void putLe32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Palette indices like those of a photo put into 256 colours: smooth gradients and sensor noise,
// which keeps deflate busy; `seed` makes each picture a little different.
Pixels photoIndices(int width, int height, int seed) {
  Pixels pixels(static_cast<std::size_t>(width) * height);
  std::uint32_t noise = 12345u + static_cast<std::uint32_t>(seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245u + 12345u;
      const int base = (x / (12 + seed) + y / 16) / 2;
      pixels[static_cast<std::size_t>(y) * width + x] =
          static_cast<unsigned char>((base + static_cast<int>(noise >> 29)) & 255);
    }
  }
  return pixels;
}

// Red, green and blue of a photo-like picture: millions of distinct colours.
Pixels photoColours(int side) {
  Pixels pixels(static_cast<std::size_t>(side) * side * 3);
  std::uint32_t noise = 12345;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      unsigned char* pixel = &pixels[(static_cast<std::size_t>(y) * side + x) * 3];
      for (int c = 0; c < 3; ++c) {
        noise = noise * 1103515245u + 12345u;
        const int base = c == 0 ? x / 16 : c == 1 ? y / 16 : (x + y) / 32;
        pixel[c] = static_cast<unsigned char>((base + static_cast<int>(noise >> 28)) & 255);
      }
    }
  }
  return pixels;
}

bool writeBytes(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// An 8-bit bitmap of `pixels` (top row first), stored bottom row first as bitmaps are.
bool writeBitmap(const std::string& path, int width, int height, const Pixels& pixels) {
  std::vector<unsigned char> file(1078, 0);
  file[0] = 'B';
  file[1] = 'M';
  putLe32(&file[2], static_cast<std::uint32_t>(1078 + pixels.size()));
  putLe32(&file[10], 1078);
  putLe32(&file[14], 40);
  putLe32(&file[18], static_cast<std::uint32_t>(width));
  putLe32(&file[22], static_cast<std::uint32_t>(height));
  file[26] = 1;
  file[28] = 8;
  for (int i = 0; i < 256; ++i) file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = i;
  for (int y = height - 1; y >= 0; --y) {
    const auto row = pixels.begin() + static_cast<std::ptrdiff_t>(y) * width;
    file.insert(file.end(), row, row + width);
  }
  return writeBytes(path, file.data(), file.size());
}

// The game's palette: 256 colours spread over the cube, as red, green, blue.
std::vector<unsigned char> gameColours() {
  std::vector<unsigned char> colours;
  std::uint32_t state = 7;
  for (int i = 0; i < 256 * 3; ++i) {
    state = state * 1103515245u + 12345u;
    colours.push_back(static_cast<unsigned char>(state >> 23));
  }
  return colours;
}

// An 8-bit PNG through libspng: true colour, or indices with `colours` as its palette.
bool writePng(const std::string& path, int side, const Pixels& pixels,
              const std::vector<unsigned char>* colours) {
  spng_ctx* encoder = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(encoder, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{};
  header.width = header.height = static_cast<std::uint32_t>(side);
  header.bit_depth = 8;
  header.color_type = colours != nullptr ? SPNG_COLOR_TYPE_INDEXED : SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(encoder, &header);
  if (colours != nullptr) {
    spng_plte palette{};
    palette.n_entries = 256;
    for (int i = 0; i < 256; ++i) {
      palette.entries[i].red = (*colours)[3 * i];
      palette.entries[i].green = (*colours)[3 * i + 1];
      palette.entries[i].blue = (*colours)[3 * i + 2];
    }
    spng_set_plte(encoder, &palette);
  }
  const int encoded =
      spng_encode_image(encoder, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  int error = 0;
  void* png = spng_get_png_buffer(encoder, &size, &error);
  spng_ctx_free(encoder);
  const bool written = encoded == 0 && png != nullptr && writeBytes(path, png, size);
  std::free(png);
  return written;
}

// compress2 of the pixels into a block left as malloc gives it, as the import's is.
double secondsToCompress(const Pixels& pixels) {
  const Clock::time_point start = Clock::now();
  const std::size_t capacity = static_cast<std::size_t>(outputCapacity(pixels.size()));
  std::unique_ptr<unsigned char, decltype(&std::free)> output(
      static_cast<unsigned char*>(std::malloc(capacity)), &std::free);
  uLongf length = capacity;
  const int status = compress2(output.get(), &length, pixels.data(), pixels.size(), 9);
  return status == Z_OK ? secondsSince(start) : -1;
}

// Not a figure with a bound but what it rests on: how much slower two compress2 calls run side by
// side, one a thread, than one alone (1: the processors are truly separate; a virtual machine's
// may share their host's cores).
double sideBySideSlowdown(const Pixels& pixels) {
  double alone = 1e9;
  double together = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    alone = std::min(alone, secondsToCompress(pixels));
    const Clock::time_point start = Clock::now();
    std::thread other([&] { secondsToCompress(pixels); });
    secondsToCompress(pixels);
    other.join();
    together = std::min(together, secondsSince(start));
  }
  return together / alone;
}

// What one child process gave: its wall time, its processor time (user and system, all its
// threads), the peak memory its work added, and whether the work succeeded.
struct ChildRun {
  bool ok = false;
  double wall = 0;
  double processor = 0;
  long addedKilobytes = 0;
};

struct ChildSettings {
  bool pictureThreadsOff = false;  // DIVOVOD_PICTURE_THREADS=1
  bool oneProcessor = false;       // held to processor 0
};

// This program again, fresh, as `--child THREADS_OFF ONE_PROCESSOR ARGUMENTS...`.
ChildRun runChild(const std::string& self, const ChildSettings& settings,
                  const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {self, "--child", settings.pictureThreadsOff ? "1" : "0",
                                    settings.oneProcessor ? "1" : "0"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int channel[2];
  ChildRun run;
  if (pipe(channel) != 0) return run;
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(channel[1], 1);
    close(channel[0]);
    close(channel[1]);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  close(channel[1]);
  std::string said;
  char buffer[256];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) said.append(buffer, got);
  close(channel[0]);
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return run;
  run.wall = secondsSince(start);
  run.processor = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6 +
                  double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(said.c_str(), "%ld", &run.addedKilobytes) == 1;
  return run;
}

// The process's peak resident size, in kilobytes. Not getrusage's ru_maxrss: across exec it keeps
// the peak of the process that forked, this bench with all its pictures.
long peakKilobytes() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  long peak = -1;
  char line[256];
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
  }
  if (status != nullptr) std::fclose(status);
  return peak;
}

// In the child: `build ARGUMENTS...` or `import PICTURE`; the peak memory it added, in kilobytes,
// on standard output.
int childMain(int argc, char** argv) {
  if (std::strcmp(argv[2], "1") == 0) {
    setenv("DIVOVOD_PICTURE_THREADS", "1", 1);
  } else {
    unsetenv("DIVOVOD_PICTURE_THREADS");
  }
  if (std::strcmp(argv[3], "1") == 0) {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    CPU_SET(0, &processors);
    if (sched_setaffinity(0, sizeof processors, &processors) != 0) return 3;
  }
  const long before = peakKilobytes();
  bool done = false;
  if (std::strcmp(argv[4], "import") == 0 && argc == 6) {
    ImportedImage image{};
    done = importBitmap(argv[5], image).ok();
    releaseImportedImage(image);
  } else {
    const std::vector<std::string> arguments(argv + 4, argv + argc);
    std::ostringstream out;
    std::ostringstream err;
    done = runCommandLine(arguments, out, err) == kExitDone;
    if (!done) std::fprintf(stderr, "%s", err.str().c_str());
  }
  std::printf("%ld\n", peakKilobytes() - before);
  return done ? 0 : 1;
}

bool report(const std::string& what, double ratio, double bound) {
  const bool met = ratio <= bound;
  std::printf("%-80s %7.3f (at most %.2f) %s\n", what.c_str(), ratio, bound,
              met ? "met" : "NOT MET");
  return met;
}

std::vector<std::string> buildArguments(const std::string (&pictures)[3], const std::string& output,
                                        const std::vector<std::string>& more) {
  std::vector<std::string> arguments = {"build", "-e",        pictures[0], "-t", pictures[1],
                                        "-l",    pictures[2], "-p",        "3",  "-n",
                                        "Bench", "-s",        "b1.lev",    "-o", output};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

struct Best {
  double wall = 1e9;
  double processor = 1e9;
  long addedKilobytes = 0;  // the largest seen
  bool ok = true;
  void take(const ChildRun& run) {
    ok = ok && run.ok;
    wall = std::min(wall, run.wall);
    processor = std::min(processor, run.processor);
    addedKilobytes = std::max(addedKilobytes, run.addedKilobytes);
  }
};

// Figures 1 to 3.
bool threePhotos(const std::string& self, const std::string& folder) {
  const int sizes[3][2] = {{4096, 4096}, {4096, 2048}, {2048, 2048}};
  std::string pictures[3];
  Pixels pixels[3];
  for (int i = 0; i < 3; ++i) {
    pixels[i] = photoIndices(sizes[i][0], sizes[i][1], i);
    pictures[i] = folder + "/photo" + std::to_string(i) + ".bmp";
    if (!writeBitmap(pictures[i], sizes[i][0], sizes[i][1], pixels[i])) return false;
  }
  const std::vector<std::string> build = buildArguments(pictures, folder + "/photos.z4k", {});
  const int processors = std::max(1u, std::thread::hardware_concurrency());
  double compress[3] = {1e9, 1e9, 1e9};
  Best threaded;
  Best pinnedThreaded;
  Best pinnedSingle;
  Best single[3];
  for (int round = 0; round < kPhotoRounds; ++round) {
    const bool buildFirst = round % 2 == 0;
    if (buildFirst) threaded.take(runChild(self, {}, build));
    for (int i = 0; i < 3; ++i) compress[i] = std::min(compress[i], secondsToCompress(pixels[i]));
    if (!buildFirst) threaded.take(runChild(self, {}, build));
    const ChildRun first = runChild(self, {buildFirst, true}, build);
    const ChildRun second = runChild(self, {!buildFirst, true}, build);
    (buildFirst ? pinnedSingle : pinnedThreaded).take(first);
    (buildFirst ? pinnedThreaded : pinnedSingle).take(second);
    for (int i = 0; i < 3; ++i) single[i].take(runChild(self, {}, {"import", pictures[i]}));
  }
  bool ok = threaded.ok && pinnedThreaded.ok && pinnedSingle.ok;
  for (const Best& one : single) ok = ok && one.ok;
  if (!ok || *std::min_element(compress, compress + 3) < 0) {
    std::printf("a build, an import or a compression of the three photos failed\n");
    return false;
  }
  const double summed = compress[0] + compress[1] + compress[2];
  const double floor = std::max(*std::max_element(compress, compress + 3), summed / processors);
  std::printf(
      "three photos: build %.3f s; compress2 %.3f + %.3f + %.3f s on %d processors: floor %.3f s\n",
      threaded.wall, compress[0], compress[1], compress[2], processors, floor);
  std::printf("held to one processor: build %.3f s, picture threads off %.3f s (processor time)\n",
              pinnedThreaded.processor, pinnedSingle.processor);
  const long singles =
      single[0].addedKilobytes + single[1].addedKilobytes + single[2].addedKilobytes;
  const double boundMegabytes = singles * 1024.0 / 1e6 + 20;
  std::printf(
      "peak memory: build %.1f MB; single imports %.1f + %.1f + %.1f MB, + 20 MB = %.1f MB\n",
      threaded.addedKilobytes * 1024.0 / 1e6, single[0].addedKilobytes * 1024.0 / 1e6,
      single[1].addedKilobytes * 1024.0 / 1e6, single[2].addedKilobytes * 1024.0 / 1e6,
      boundMegabytes);
  std::printf("two compress2 side by side take %.2f times one alone on this machine\n",
              sideBySideSlowdown(pixels[1]));
  bool met =
      report("build of three photos / compression floor (wall time)", threaded.wall / floor, 1.1);
  met = report("build held to one processor / picture threads off (processor time)",
               pinnedThreaded.processor / pinnedSingle.processor, 1.02) &&
        met;
  met = report("build's peak memory / (single imports' peaks summed + 20 MB)",
               threaded.addedKilobytes * 1024.0 / 1e6 / boundMegabytes, 1.0) &&
        met;
  return met;
}

// Figure 4. The indexed picture holds the very indices the mapping chooses, read back from the
// stream of the true-colour picture's own import, with the game's colours as its palette.
bool paletteAgainstIndexed(const std::string& self, const std::string& folder) {
  constexpr int kSide = 4096;
  constexpr int kSmall = 64;
  const std::vector<unsigned char> colours = gameColours();
  const std::string palette = folder + "/game.act";
  if (!writeBytes(palette, colours.data(), colours.size())) return false;
  const std::string truePictures[3] = {folder + "/true0.png", folder + "/true1.png",
                                       folder + "/true2.png"};
  const std::string indexedPictures[3] = {folder + "/indexed0.png", folder + "/indexed1.png",
                                          folder + "/indexed2.png"};
  ImportOptions options;
  options.hasPalette = readPalette(palette.c_str(), options.palette).ok();
  for (int i = 0; i < 3; ++i) {
    const int side = i == 0 ? kSide : kSmall;
    Pixels rgb = photoColours(side);
    if (!options.hasPalette || !writePng(truePictures[i], side, rgb, nullptr)) return false;
    ImportedImage image{};
    if (!importPicture(truePictures[i].c_str(), options, image).ok()) return false;
    Pixels indices(static_cast<std::size_t>(side) * side);
    uLongf length = indices.size();
    const int status = uncompress(indices.data(), &length, image.compressedData,
                                  static_cast<uLong>(image.compressedSize));
    releaseImportedImage(image);
    if (status != Z_OK || !writePng(indexedPictures[i], side, indices, &colours)) return false;
  }
  const std::vector<std::string> mapped =
      buildArguments(truePictures, folder + "/mapped.z4k", {"--palette", palette});
  const std::vector<std::string> indexed =
      buildArguments(indexedPictures, folder + "/indexed.z4k", {"--no-palette"});
  Best withPalette;
  Best alreadyIndexed;
  for (int round = 0; round < kRounds; ++round) {
    const bool mappedFirst = round % 2 == 0;
    const ChildRun first = runChild(self, {}, mappedFirst ? mapped : indexed);
    const ChildRun second = runChild(self, {}, mappedFirst ? indexed : mapped);
    (mappedFirst ? withPalette : alreadyIndexed).take(first);
    (mappedFirst ? alreadyIndexed : withPalette).take(second);
  }
  if (!withPalette.ok || !alreadyIndexed.ok) {
    std::printf("a build of the true-colour or the indexed PNG failed\n");
    return false;
  }
  std::printf(
      "true-colour PNG %dx%d: build --palette %.3f s, the indexed PNG %.3f s (processor "
      "time)\n",
      kSide, kSide, withPalette.processor, alreadyIndexed.processor);
  return report("build --palette of a true-colour PNG / build of it indexed (processor time)",
                withPalette.processor / alreadyIndexed.processor, 1.15);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--child") == 0) return childMain(argc, argv);
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  const char* scratch = std::getenv("TMPDIR");
  std::string pattern = std::string(scratch != nullptr && *scratch != '\0' ? scratch : "/tmp") +
                        "/divovod-build-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::printf("no scratch folder\n");
    return 1;
  }
  bool met = threePhotos(self, pattern);
  met = paletteAgainstIndexed(self, pattern) && met;
  std::filesystem::remove_all(pattern);
  return met ? 0 : 1;
}
