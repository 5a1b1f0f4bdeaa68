// The three pictures of a build are imported side by side: every kind of picture must give, on
// threads, the very bytes and words one thread gives, and a picture that fails on its thread must
// be said as it always was, with nothing written and nothing left behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "allocation.h"
#include "command_line.h"
#include "episode_build.h"
#include "test_support.h"

namespace {

// Pixel (x, y) of picture `seed`, as a palette index of `bits` bits; enough variety that deflate
// and the colour mapping have work to do.
unsigned indexAt(int x, int y, int seed, int bits) {
  return static_cast<unsigned>((x * 7 + y * 13 + seed * 31 + (x * y) / 5) % (1 << bits));
}

unsigned char channelAt(int x, int y, int seed, int channel) {
  return static_cast<unsigned char>((x * (3 + channel) + y * (5 - channel) + seed * 17) ^ (x * y));
}

// A bitmap stored bottom row first, each row padded to 4 bytes: indices packed high bits first at
// 1, 4 and 8 bits; blue, green, red (and a fourth byte) at 24 and 32 bits.
Bytes plainBitmap(int width, int height, int bits, int seed) {
  BitmapFields fields;
  fields.width = width;
  fields.height = height;
  fields.bitCount = static_cast<std::uint8_t>(bits);
  fields.paletteEntries = bits <= 8 ? 1u << bits : 0;
  const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
  for (int stored = 0; stored < height; ++stored) {
    const int y = height - 1 - stored;
    Bytes row(stride, 0);
    for (int x = 0; x < width; ++x) {
      if (bits <= 8) {
        const std::size_t bit = static_cast<std::size_t>(x) * bits;
        row[bit / 8] |=
            static_cast<unsigned char>(indexAt(x, y, seed, bits) << (8 - bits - bit % 8));
      } else {
        for (int c = 0; c < 3; ++c) row[x * (bits / 8) + c] = channelAt(x, y, seed, 2 - c);
      }
    }
    fields.pixelData.insert(fields.pixelData.end(), row.begin(), row.end());
  }
  return makeBitmap(fields);
}

// RLE8 (bits 8) or RLE4 (bits 4): each row as runs of two pixels and an end of line, then the
// end of the picture.
Bytes rleBitmap(int width, int height, int bits, int seed) {
  BitmapFields fields;
  fields.width = width;
  fields.height = height;
  fields.bitCount = static_cast<std::uint8_t>(bits);
  fields.paletteEntries = 1u << bits;
  fields.compression = bits == 8 ? 1 : 2;
  for (int stored = 0; stored < height; ++stored) {
    const int y = height - 1 - stored;
    for (int x = 0; x < width; x += 2) {
      const int count = std::min(2, width - x);
      const unsigned first = indexAt(x, y, seed, bits);
      const unsigned second = indexAt(x + 1, y, seed, bits);
      fields.pixelData.push_back(static_cast<unsigned char>(count));
      // RLE4 alternates the high and the low nibble; RLE8 repeats one index.
      fields.pixelData.push_back(
          static_cast<unsigned char>(bits == 8 ? first : (first << 4 | second)));
      if (bits == 8 && count == 2) {  // the second pixel its own run, to keep the picture busy
        fields.pixelData.back() = static_cast<unsigned char>(first);
        fields.pixelData[fields.pixelData.size() - 2] = 1;
        fields.pixelData.push_back(1);
        fields.pixelData.push_back(static_cast<unsigned char>(second));
      }
    }
    fields.pixelData.push_back(0);
    fields.pixelData.push_back(0);
  }
  fields.pixelData.push_back(0);
  fields.pixelData.push_back(1);
  return makeBitmap(fields);
}

void putBe32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<unsigned char>(value >> shift));
}

void pngChunk(Bytes& png, const char* kind, const Bytes& data) {
  putBe32(png, static_cast<std::uint32_t>(data.size()));
  Bytes body(kind, kind + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  putBe32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// An 8-bit PNG, indexed (with a palette of 256) or true colour, every row of filter 0.
Bytes png(int width, int height, bool indexed, int seed) {
  Bytes rows;
  for (int y = 0; y < height; ++y) {
    rows.push_back(0);
    for (int x = 0; x < width; ++x) {
      if (indexed) {
        rows.push_back(static_cast<unsigned char>(indexAt(x, y, seed, 8)));
      } else {
        for (int c = 0; c < 3; ++c) rows.push_back(channelAt(x, y, seed, c));
      }
    }
  }
  Bytes data(compressBound(static_cast<uLong>(rows.size())));
  uLongf length = data.size();
  EXPECT_EQ(compress2(data.data(), &length, rows.data(), static_cast<uLong>(rows.size()), 9), Z_OK);
  data.resize(length);
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  putBe32(header, static_cast<std::uint32_t>(width));
  putBe32(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, static_cast<unsigned char>(indexed ? 3 : 2), 0, 0, 0});
  pngChunk(file, "IHDR", header);
  if (indexed) {
    Bytes colours;
    for (int i = 0; i < 256; ++i) {
      for (int c = 0; c < 3; ++c)
        colours.push_back(static_cast<unsigned char>(i * (c + 1) + c * 40));
    }
    pngChunk(file, "PLTE", colours);
  }
  pngChunk(file, "IDAT", data);
  pngChunk(file, "IEND", {});
  return file;
}

// A Photoshop colour table: 256 colours as red, green, blue.
Bytes gamePalette() {
  Bytes table;
  for (int i = 0; i < 256; ++i) {
    for (int c = 0; c < 3; ++c)
      table.push_back(static_cast<unsigned char>((i * (7 + 4 * c)) % 256));
  }
  return table;
}

struct PictureKind {
  const char* name;
  std::function<Bytes(int width, int height, int seed)> make;
  const char* extension;
  bool needsPalette;  // true colour: only built with --palette
};

const std::vector<PictureKind>& pictureKinds() {
  static const std::vector<PictureKind> kinds = {
      {"BMP 1-bit", [](int w, int h, int s) { return plainBitmap(w, h, 1, s); }, ".bmp", false},
      {"BMP 4-bit", [](int w, int h, int s) { return plainBitmap(w, h, 4, s); }, ".bmp", false},
      {"BMP 8-bit", [](int w, int h, int s) { return plainBitmap(w, h, 8, s); }, ".bmp", false},
      {"BMP 24-bit", [](int w, int h, int s) { return plainBitmap(w, h, 24, s); }, ".bmp", true},
      {"BMP 32-bit", [](int w, int h, int s) { return plainBitmap(w, h, 32, s); }, ".bmp", true},
      {"BMP RLE8", [](int w, int h, int s) { return rleBitmap(w, h, 8, s); }, ".bmp", false},
      {"BMP RLE4", [](int w, int h, int s) { return rleBitmap(w, h, 4, s); }, ".bmp", false},
      {"PNG indexed", [](int w, int h, int s) { return png(w, h, true, s); }, ".png", false},
      {"PNG true colour", [](int w, int h, int s) { return png(w, h, false, s); }, ".png", true},
  };
  return kinds;
}

enum class Mapping { kNone, kPalette, kDither };

const char* mappingName(Mapping mapping) {
  return mapping == Mapping::kNone      ? "no palette"
         : mapping == Mapping::kPalette ? "--palette"
                                        : "--dither";
}

// Sets or clears an environment variable for the scope, and puts back what was there.
struct EnvironmentSetting {
  EnvironmentSetting(const char* variable, const char* value) : name(variable) {
    const char* before = std::getenv(variable);
    had = before != nullptr;
    if (had) previous = before;
    if (value != nullptr) {
      setenv(variable, value, 1);
    } else {
      unsetenv(variable);
    }
  }
  ~EnvironmentSetting() {
    if (had) {
      setenv(name, previous.c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  EnvironmentSetting(const EnvironmentSetting&) = delete;
  EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;
  const char* name;
  bool had = false;
  std::string previous;
};

struct BuildRun {
  int status;
  std::string out;
  std::string err;
};

// `divovod build` in this process, the picture threads as `threads` says (null: as the program
// chooses, "1": off).
BuildRun build(const std::vector<std::string>& arguments, const char* threads) {
  EnvironmentSetting setting("DIVOVOD_PICTURE_THREADS", threads);
  std::ostringstream out;
  std::ostringstream err;
  const int status = runCommandLine(arguments, out, err);
  return {status, out.str(), err.str()};
}

// The three pictures of one build: episode, title and lowtitle of three sizes, the largest not
// first, so that the threads' order differs from the pictures'.
struct ThreePictures {
  ScratchDirectory folder;
  std::string names[3];
  std::string palette;
  explicit ThreePictures(const PictureKind& kind) {
    const int sizes[3][2] = {{90, 60}, {161, 97}, {33, 20}};
    for (int i = 0; i < 3; ++i) {
      names[i] = folder.path(std::string("picture") + std::to_string(i) + kind.extension);
      writeFile(names[i], kind.make(sizes[i][0], sizes[i][1], i));
    }
    palette = folder.path("game.act");
    writeFile(palette, gamePalette());
  }
  std::vector<std::string> arguments(const std::string& output, Mapping mapping) const {
    std::vector<std::string> arguments = {"build",   "-e",     names[0], "-t", names[1],
                                          "-l",      names[2], "-p",     "4",  "-n",
                                          "Threads", "-s",     "t1.lev", "-o", output};
    if (mapping == Mapping::kNone) arguments.push_back("--no-palette");
    if (mapping != Mapping::kNone) arguments.insert(arguments.end(), {"--palette", palette});
    if (mapping == Mapping::kDither) arguments.push_back("--dither");
    return arguments;
  }
};

ImportOptions optionsFor(const ThreePictures& pictures, Mapping mapping) {
  ImportOptions options;
  if (mapping == Mapping::kNone) return options;
  options.hasPalette = readPalette(pictures.palette.c_str(), options.palette).ok();
  EXPECT_TRUE(options.hasPalette);
  options.dither = mapping == Mapping::kDither;
  return options;
}

Bytes streamOf(const ImportedImage& image) {
  return Bytes(image.compressedData, image.compressedData + image.compressedSize);
}

// importPictures on three threads and on one: each picture's stream, size, outcome and mapping
// report the same.
TEST(ThreadedBuild, EveryPictureKindGivesTheBytesOfOneThread) {
  for (const PictureKind& kind : pictureKinds()) {
    const ThreePictures pictures(kind);
    for (const Mapping mapping : {Mapping::kNone, Mapping::kPalette, Mapping::kDither}) {
      if (kind.needsPalette && mapping == Mapping::kNone) continue;
      SCOPED_TRACE(std::string(kind.name) + ", " + mappingName(mapping));
      const ImportOptions options = optionsFor(pictures, mapping);
      ImportedPictures one;
      ImportedPictures three;
      PictureImport oneResults[3];
      PictureImport threeResults[3];
      ThreadBudget none(0);
      ThreadBudget two(2);
      ASSERT_TRUE(importPictures(pictures.names, options, none, one, oneResults));
      ASSERT_TRUE(importPictures(pictures.names, options, two, three, threeResults));
      EXPECT_EQ(two.spare.load(), 2) << "the threads are given back";
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(three.images[i].width, one.images[i].width) << i;
        EXPECT_EQ(three.images[i].height, one.images[i].height) << i;
        EXPECT_EQ(streamOf(three.images[i]), streamOf(one.images[i])) << i;
        const MappingReport& a = threeResults[i].report;
        const MappingReport& b = oneResults[i].report;
        EXPECT_EQ(a.mapped, b.mapped) << i;
        EXPECT_EQ(a.pixels, b.pixels) << i;
        EXPECT_EQ(a.changedPixels, b.changedPixels) << i;
        EXPECT_EQ(a.largestDistance2, b.largestDistance2) << i;
      }
      EXPECT_EQ(one.images[1].width, 161);  // the pictures are where their names are
      EXPECT_EQ(one.images[2].height, 20);
    }
  }
}

// The whole build, threads on and off: the same file, the same lines, the same status.
TEST(ThreadedBuild, TheEpisodeFileAndItsLinesAreThoseOfOneThread) {
  for (const PictureKind& kind : pictureKinds()) {
    const ThreePictures pictures(kind);
    for (const Mapping mapping : {Mapping::kNone, Mapping::kDither}) {
      if (kind.needsPalette && mapping == Mapping::kNone) continue;
      SCOPED_TRACE(std::string(kind.name) + ", " + mappingName(mapping));
      const std::string threaded = pictures.folder.path("threaded.z4k");
      const std::string single = pictures.folder.path("single.z4k");
      const BuildRun a = build(pictures.arguments(threaded, mapping), nullptr);
      const BuildRun b = build(pictures.arguments(single, mapping), "1");
      ASSERT_EQ(a.status, kExitDone) << a.err;
      EXPECT_EQ(b.status, kExitDone) << b.err;
      EXPECT_EQ(readFile(threaded), readFile(single));
      EXPECT_EQ(a.err, b.err);
      const std::string name = "threaded.z4k";
      EXPECT_EQ(a.out.substr(a.out.find(" (")), b.out.substr(b.out.find(" (")));
      EXPECT_NE(a.out.find(name), std::string::npos) << a.out;
    }
  }
}

// Allocations of at least `failFrom` bytes fail, from whichever thread asks.
struct LargeBlocksFail {
  static inline std::size_t failFrom = 0;
  static void* allocate(std::size_t size) { return size >= failFrom ? nullptr : std::malloc(size); }
  static void* allocateZeroed(std::size_t count, std::size_t size) {
    return count * size >= failFrom ? nullptr : std::calloc(count, size);
  }
  explicit LargeBlocksFail(std::size_t from) {
    failFrom = from;
    allocateBlock = &allocate;
    allocateZeroedBlock = &allocateZeroed;
  }
  ~LargeBlocksFail() {
    allocateBlock = &allocateSystemBlock;
    allocateZeroedBlock = &std::calloc;
  }
  LargeBlocksFail(const LargeBlocksFail&) = delete;
  LargeBlocksFail& operator=(const LargeBlocksFail&) = delete;
};

// A picture that fails on its thread is said as one thread says it, in the pictures' order, and
// the build writes nothing, not even a temporary file: a damaged PNG second and a missing file
// third; the largest picture out of memory while the others succeed.
TEST(ThreadedBuild, AFailingPictureIsSaidAsOneThreadSaysItAndNothingIsWritten) {
  struct Fault {
    const char* name;
    std::size_t kind;  // in pictureKinds()
    std::function<void(ThreePictures&)> cause;
    std::size_t failFrom;             // 0: allocations succeed
    std::vector<std::string> saidOf;  // the pictures the error lines name, in order
  };
  const Fault faults[] = {
      {"a damaged PNG second, a missing file third",
       7,
       [](ThreePictures& p) {
         Bytes damaged = readFile(p.names[1]);
         damaged[29] ^= 0x40;  // inside IHDR: its checksum no longer holds
         writeFile(p.names[1], damaged);
         std::remove(p.names[2].c_str());
       },
       0,
       {"1", "2"}},
      // 8-bit bitmaps: the title, 161 x 97, is the only picture with a block of 15,000 bytes or
      // more (its stream's room, 15,785; its rows, 97 x 164); the episode's are 5,466 and 5,520.
      {"the largest picture out of memory", 2, [](ThreePictures&) {}, 15000, {"1"}},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    ThreePictures pictures(pictureKinds()[fault.kind]);
    fault.cause(pictures);
    const std::string output = pictures.folder.path("out.z4k");
    BuildRun runs[2];
    {
      LargeBlocksFail failing(fault.failFrom == 0 ? SIZE_MAX : fault.failFrom);
      runs[0] = build(pictures.arguments(output, Mapping::kNone), nullptr);
      runs[1] = build(pictures.arguments(output, Mapping::kNone), "1");
    }
    for (const BuildRun& run : runs) {
      EXPECT_EQ(run.status, kExitFailed);
      EXPECT_EQ(run.out, "");
      std::istringstream lines(run.err);
      std::string line;
      std::size_t said = 0;
      while (std::getline(lines, line)) {
        ASSERT_LT(said, fault.saidOf.size()) << run.err;
        const std::string name = pictures.folder.path("picture" + fault.saidOf[said]);
        EXPECT_EQ(line.rfind("divovod: " + name, 0), 0u) << line;
        ++said;
      }
      EXPECT_EQ(said, fault.saidOf.size()) << run.err;
    }
    EXPECT_EQ(runs[0].err, runs[1].err);
    if (fault.failFrom == 0) {
      EXPECT_NE(runs[0].err.find(pictures.names[2] + ": cannot be opened (No such file"),
                std::string::npos)
          << runs[0].err;
    } else {
      EXPECT_NE(runs[0].err.find("memory"), std::string::npos) << runs[0].err;
    }
    for (const std::string& entry : pictures.folder.entries()) {
      EXPECT_TRUE(entry.rfind("picture", 0) == 0 || entry == "game.act") << entry << " was left";
    }
  }
}

// The program itself, run as a user runs it, threads as it chooses and threads off: the same
// episode file, the same lines, the same status.
TEST(ThreadedBuild, TheProgramWritesTheSameFileWithThreadsAndWithout) {
  for (const std::size_t kind : {std::size_t{2}, std::size_t{8}}) {  // 8-bit BMP; true-colour PNG
    const ThreePictures pictures(pictureKinds()[kind]);
    SCOPED_TRACE(pictureKinds()[kind].name);
    const Mapping mapping = kind == 8 ? Mapping::kDither : Mapping::kNone;
    std::string said[2];
    int statuses[2] = {};
    for (int off = 0; off < 2; ++off) {
      const std::string output = pictures.folder.path(off ? "single.z4k" : "threaded.z4k");
      std::string command = off ? "DIVOVOD_PICTURE_THREADS=1 " : "";
      command += std::string("'") + DIVOVOD_PROGRAM + "'";
      for (const std::string& argument : pictures.arguments(output, mapping)) {
        command += " '" + argument + "'";
      }
      const std::string lines = pictures.folder.path(off ? "single.txt" : "threaded.txt");
      statuses[off] = std::system((command + " > '" + lines + "' 2>&1").c_str());
      const Bytes text = readFile(lines);
      said[off] = std::string(text.begin(), text.end());
      std::remove(lines.c_str());
    }
    EXPECT_EQ(statuses[0], 0) << said[0];
    EXPECT_EQ(statuses[1], 0) << said[1];
    EXPECT_EQ(readFile(pictures.folder.path("threaded.z4k")),
              readFile(pictures.folder.path("single.z4k")));
    ASSERT_NE(said[0].find(" ("), std::string::npos) << said[0];
    EXPECT_EQ(said[0].substr(said[0].find(" (")), said[1].substr(said[1].find(" (")));
  }
}

}  // namespace
