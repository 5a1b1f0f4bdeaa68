#include "picture_import.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <limits>
#include <vector>

#include "allocation.h"
#include "test_support.h"

namespace {

struct Outcome {
  bool ok;
  ImportProblem problem;
  ImportedImage image;
};

// A record full of marks, so a failed import that touched it shows.
ImportedImage markedImage() {
  return ImportedImage{-7, -7, reinterpret_cast<unsigned char*>(0x1), -7};
}

Outcome importFile(const std::string& path) {
  Outcome outcome{false, ImportProblem::kNone, markedImage()};
  std::string said = captureCout([&] {
    const ImportOutcome result = importBitmap(path.c_str(), outcome.image);
    outcome.ok = result.ok();
    outcome.problem = result.problem;
  });
  EXPECT_EQ(said, "") << "the importer leaves the wording to its callers";
  return outcome;
}

Outcome importBytes(const Bytes& file) {
  ScratchDirectory directory;
  writeFile(directory.path("picture.bmp"), file);
  return importFile(directory.path("picture.bmp"));
}

Bytes pixelsOf(const Outcome& outcome) {
  return inflateStream(outcome.image.compressedData,
                       static_cast<std::size_t>(outcome.image.compressedSize));
}

// The plain layout the importer is made for: 40-byte header, 256 colours, rows of 4n bytes.
BitmapFields fourByTwo() {
  BitmapFields fields;
  fields.width = 4;
  fields.height = 2;
  fields.pixelData = {1, 2, 3, 4, 5, 6, 7, 8};  // bottom row first
  return fields;
}

// Bytes that deflate cannot shrink: distinct indices from 255 down (the ones with the longest
// fixed codes), then a fixed pseudo-random stream.
Bytes incompressible(std::size_t count) {
  Bytes bytes(count);
  std::uint32_t state = 2463534242u;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<unsigned char>(i < 112 ? 255 - i : state >> 24);
  }
  return bytes;
}

// The room must hold the worst stream zlib makes, at the sizes where its block structure
// changes. Below 50 pixels the one per cent adds nothing, and the stream of incompressible
// pixels takes all but one byte of the room: two bytes less would not do.
TEST(OutputCapacity, HoldsTheStreamOfIncompressiblePixels) {
  const std::size_t counts[] = {0, 1, 20, 49, 50, 99, 100, 16383, 16384, 65535, 65536, 200000};
  std::int64_t tightest = std::numeric_limits<std::int64_t>::max();
  for (std::size_t count : counts) {
    const Bytes pixels = incompressible(count);
    const std::int64_t room = outputCapacity(static_cast<std::int64_t>(count));
    Bytes stream(static_cast<std::size_t>(room));
    uLongf length = static_cast<uLongf>(room);
    ASSERT_EQ(compress2(stream.data(), &length, pixels.data(), static_cast<uLong>(count), 9), Z_OK)
        << count << " pixels in " << room << " bytes";
    EXPECT_EQ(inflateStream(stream.data(), length), pixels) << count;
    tightest = std::min(tightest, room - static_cast<std::int64_t>(length));
    if (count > 0) {
      EXPECT_GT(length, count) << count << ": the pixels were not incompressible";
    }
  }
  EXPECT_EQ(tightest, 1) << "no case in the table comes near the room's limit";
  EXPECT_LE(outputCapacity(2126221421), std::numeric_limits<std::int32_t>::max());
  EXPECT_GT(outputCapacity(2126221422), std::numeric_limits<std::int32_t>::max());
}

TEST(FlipRows, ReversesRowOrderAndKeepsRows) {
  unsigned char pixels[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  flipRows(pixels, 4, 3);
  const unsigned char flipped[] = {9, 10, 11, 12, 5, 6, 7, 8, 1, 2, 3, 4};
  EXPECT_EQ(0, std::memcmp(pixels, flipped, sizeof pixels));
  flipRows(pixels, 12, 1);
  EXPECT_EQ(0, std::memcmp(pixels, flipped, sizeof pixels));
  flipRows(pixels, 0, 3);
  EXPECT_EQ(0, std::memcmp(pixels, flipped, sizeof pixels));
}

TEST(ImportBitmap, FlipsCompressesAndReports) {
  Outcome outcome = importBytes(makeBitmap(fourByTwo()));
  ASSERT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.problem, ImportProblem::kNone);
  EXPECT_EQ(outcome.image.width, 4);
  EXPECT_EQ(outcome.image.height, 2);
  EXPECT_EQ(pixelsOf(outcome), (Bytes{5, 6, 7, 8, 1, 2, 3, 4}));

  const unsigned char* stream = outcome.image.compressedData;
  std::size_t size = static_cast<std::size_t>(outcome.image.compressedSize);
  EXPECT_LE(static_cast<std::int64_t>(size), outputCapacity(8));
  EXPECT_EQ(stream[0], 0x78);
  EXPECT_EQ(stream[1], 0xDA);
  const unsigned char flipped[] = {5, 6, 7, 8, 1, 2, 3, 4};
  uLong checksum = adler32(adler32(0, nullptr, 0), flipped, sizeof flipped);
  const unsigned char trailer[] = {
      static_cast<unsigned char>(checksum >> 24), static_cast<unsigned char>(checksum >> 16),
      static_cast<unsigned char>(checksum >> 8), static_cast<unsigned char>(checksum)};
  EXPECT_EQ(0, std::memcmp(stream + size - 4, trailer, 4));
  releaseImportedImage(outcome.image);
}

TEST(ImportBitmap, WidthZeroGivesTheEmptyStream) {
  BitmapFields fields;
  fields.width = 0;
  fields.height = 5;
  Outcome outcome = importBytes(makeBitmap(fields));
  ASSERT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.problem, ImportProblem::kNone);
  EXPECT_EQ(outcome.image.height, 5);
  Bytes stream(outcome.image.compressedData,
               outcome.image.compressedData + outcome.image.compressedSize);
  EXPECT_EQ(stream, (Bytes{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  releaseImportedImage(outcome.image);
}

TEST(ImportBitmap, ByteAfterTheBitCountIsNotLookedAt) {
  Bytes file = makeBitmap(fourByTwo());
  file[29] = 0x7F;
  Outcome outcome = importBytes(file);
  EXPECT_TRUE(outcome.ok);
  releaseImportedImage(outcome.image);
}

struct RefusedCase {
  const char* name;
  std::function<Bytes()> file;
};

Bytes edited(BitmapFields fields, const std::function<void(BitmapFields&)>& change) {
  change(fields);
  return makeBitmap(fields);
}

Bytes withByte(Bytes file, std::size_t at, unsigned char value) {
  file[at] = value;
  return file;
}

Bytes truncated(Bytes file, std::size_t size) {
  file.resize(size);
  return file;
}

Bytes rle(Bytes codes, std::int32_t width, std::int32_t height) {
  BitmapFields fields;
  fields.width = width;
  fields.height = height;
  fields.compression = 1;
  fields.pixelData = std::move(codes);
  return makeBitmap(fields);
}

TEST(ImportBitmap, RefusesWhatIsNotAnEightBitPicture) {
  const BitmapFields good = fourByTwo();
  const RefusedCase cases[] = {
      {"empty file", [] { return Bytes{}; }},
      {"not B M", [&] { return withByte(makeBitmap(good), 1, 'A'); }},
      {"24 bits and no game palette",
       [&] { return edited(good, [](BitmapFields& s) { s.bitCount = 24; }); }},
      {"2 bits", [&] { return edited(good, [](BitmapFields& s) { s.bitCount = 2; }); }},
      {"0 bits", [&] { return edited(good, [](BitmapFields& s) { s.bitCount = 0; }); }},
      {"too short for the bit count", [&] { return truncated(makeBitmap(good), 28); }},
      {"too short for the info header", [&] { return truncated(makeBitmap(good), 50); }},
      {"11-byte info header",
       [&] { return edited(good, [](BitmapFields& s) { s.infoSize = 11; }); }},
      {"15-byte info header",
       [&] { return edited(good, [](BitmapFields& s) { s.infoSize = 15; }); }},
      {"OS/2 core header, 16 bits",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.infoSize = 12;
           s.bitCount = 16;
         });
       }},
      {"OS/2 core header ending in its bit count",
       [&] { return truncated(edited(good, [](BitmapFields& s) { s.infoSize = 12; }), 24); }},
      {"OS/2 2.x header cut short",
       [&] { return truncated(edited(good, [](BitmapFields& s) { s.infoSize = 24; }), 14 + 20); }},
      {"RLE4 at 8 bits", [&] { return edited(good, [](BitmapFields& s) { s.compression = 2; }); }},
      {"bit fields at 8 bits",
       [&] { return edited(good, [](BitmapFields& s) { s.compression = 3; }); }},
      {"compression 4", [&] { return edited(good, [](BitmapFields& s) { s.compression = 4; }); }},
      {"negative width", [&] { return edited(good, [](BitmapFields& s) { s.width = -4; }); }},
      {"smallest height",
       [&] { return edited(good, [](BitmapFields& s) { s.height = INT32_MIN; }); }},
      {"pixel area one byte short", [&] { return truncated(makeBitmap(good), 1078 + 7); }},
      {"offset inside the headers",
       [&] { return edited(good, [](BitmapFields& s) { s.pixelOffset = 50; }); }},
      {"offset past the end",
       [&] { return edited(good, [](BitmapFields& s) { s.pixelOffset = 5000; }); }},
      {"no pixels, offset one past the end",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.width = 0;
           s.pixelData.clear();
           s.pixelOffset = 1079;
         });
       }},
      {"offset inside a 124-byte header",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.infoSize = 124;
           s.paletteEntries = 0;
           s.pixelOffset = 100;
         });
       }},
      {"30000 x 30000 in 2 KB",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.width = s.height = 30000;
           s.pixelData.resize(900);
         });
       }},
      {"width x height past 32 bits",
       [&] { return edited(good, [](BitmapFields& s) { s.width = s.height = 65536; }); }},
      {"capacity past 32 bits",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.width = 2126221422;
           s.height = 1;
         });
       }},
      {"RLE8 stored top row first",
       [] {
         return rle({2, 1, 0, 1}, 2, -2);
       }},
      {"RLE8 claim one pixel row past its bound",
       [] {
         return rle({0, 1}, 256, 259);
       }},
      {"RLE8 huge picture in a tiny file",
       [] {
         return rle({0, 1}, 46000, 46000);
       }},
  };
  for (const RefusedCase& refused : cases) {
    Outcome outcome = importBytes(refused.file());
    EXPECT_FALSE(outcome.ok) << refused.name;
    EXPECT_NE(outcome.problem, ImportProblem::kCannotOpen) << refused.name;
    EXPECT_NE(outcome.problem, ImportProblem::kOutOfMemory) << refused.name;
    EXPECT_EQ(outcome.image.width, -7) << refused.name << ": record touched";
    EXPECT_EQ(outcome.image.compressedSize, -7) << refused.name << ": record touched";
  }
}

TEST(ImportBitmap, MissingFileCannotBeOpened) {
  ScratchDirectory directory;
  Outcome outcome = importFile(directory.path("no such picture.bmp"));
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.problem, ImportProblem::kCannotOpen);
  EXPECT_EQ(importFile("").problem, ImportProblem::kCannotOpen);
}

struct VariantCase {
  const char* name;
  Bytes file;
  std::int32_t width;
  std::int32_t height;
  Bytes topRowFirst;
};

TEST(ImportBitmap, ConvertsEightBitVariantsToTheExactPicture) {
  BitmapFields padded;
  padded.width = 3;
  padded.height = 2;
  padded.pixelData = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE};
  BitmapFields paddedNoFinalPad = padded;
  paddedNoFinalPad.pixelData.pop_back();
  BitmapFields topDown = fourByTwo();
  topDown.height = -2;
  BitmapFields smallPalette = fourByTwo();
  smallPalette.paletteEntries = 16;
  BitmapFields largeHeader = fourByTwo();
  largeHeader.infoSize = 124;
  BitmapFields gapAfterPalette = fourByTwo();
  gapAfterPalette.pixelData.insert(gapAfterPalette.pixelData.begin(), {9, 9, 9});
  gapAfterPalette.pixelOffset = 1078 + 3;

  // Bottom row: run of 2 x 7, literal 1 2 3 (odd: one pad byte), end of line.
  // Next row: move right 1, run 1 x 9, end of line. Top row left unwritten, then end of picture.
  Bytes rleCodes = {2, 7, 0, 3, 1, 2, 3, 0xAA, 0, 0, 0, 2, 1, 0, 1, 9, 0, 0, 0, 1};
  Bytes rleCut = {4, 5, 0, 0, 2, 6};    // the data stops with no end of picture
  BitmapFields os2Small = fourByTwo();  // an OS/2 2.x header: no compression field, so none
  os2Small.infoSize = 16;
  BitmapFields os2Full = fourByTwo();
  os2Full.infoSize = 64;
  os2Full.compression = 1;
  os2Full.pixelData = {4, 1, 0, 0, 2, 2, 2, 3, 0, 1};
  BitmapFields coreWide;  // 16-bit sizes; a width past one byte, rows padded to 4
  coreWide.infoSize = 12;
  coreWide.width = 258;
  coreWide.height = 2;
  coreWide.pixelData.assign(260, 1);
  coreWide.pixelData.resize(520, 2);
  Bytes coreWideTopFirst(258, 2);
  coreWideTopFirst.resize(516, 1);
  BitmapFields distinctRow;
  distinctRow.width = 20;
  distinctRow.height = 1;
  distinctRow.pixelData = incompressible(20);

  const VariantCase cases[] = {
      {"plain", makeBitmap(fourByTwo()), 4, 2, {5, 6, 7, 8, 1, 2, 3, 4}},
      {"rows padded to 4 bytes", makeBitmap(padded), 3, 2, {4, 5, 6, 1, 2, 3}},
      {"last row without its padding", makeBitmap(paddedNoFinalPad), 3, 2, {4, 5, 6, 1, 2, 3}},
      {"negative height: top row first", makeBitmap(topDown), 4, 2, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"16-colour palette", makeBitmap(smallPalette), 4, 2, {5, 6, 7, 8, 1, 2, 3, 4}},
      {"124-byte info header", makeBitmap(largeHeader), 4, 2, {5, 6, 7, 8, 1, 2, 3, 4}},
      {"gap before the pixels", makeBitmap(gapAfterPalette), 4, 2, {5, 6, 7, 8, 1, 2, 3, 4}},
      {"RLE8", rle(rleCodes, 5, 3), 5, 3, {0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 7, 7, 1, 2, 3}},
      {"RLE8 without its end mark", rle(rleCut, 4, 2), 4, 2, {6, 6, 0, 0, 5, 5, 5, 5}},
      {"incompressible row", makeBitmap(distinctRow), 20, 1, incompressible(20)},
      {"OS/2 2.x, 16-byte header", makeBitmap(os2Small), 4, 2, {5, 6, 7, 8, 1, 2, 3, 4}},
      {"OS/2 2.x, 64-byte header, RLE8", makeBitmap(os2Full), 4, 2, {2, 2, 3, 3, 1, 1, 1, 1}},
      {"OS/2 core header", makeBitmap(coreWide), 258, 2, coreWideTopFirst},
      // Lenient RLE8: what falls outside the picture is dropped, never written.
      {"RLE8 run past its row", rle({3, 1, 2, 5, 0, 0, 2, 7, 0, 1}, 2, 2), 2, 2, {7, 7, 1, 1}},
      {"RLE8 literal past its row, pad byte read",
       rle({0, 3, 1, 2, 3, 0, 0, 0, 2, 4, 0, 1}, 2, 2),
       2,
       2,
       {4, 4, 1, 2}},
      {"RLE8 literal from past its row", rle({2, 9, 0, 3, 1, 2, 3, 0, 1, 8}, 2, 1), 2, 1, {9, 9}},
      {"RLE8 move to the row's end",
       rle({1, 5, 0, 2, 1, 0, 1, 6, 0, 0, 1, 7, 0, 1}, 2, 2),
       2,
       2,
       {7, 0, 5, 0}},
      {"RLE8 move past the row's end",
       rle({1, 5, 0, 2, 2, 0, 0, 0, 1, 7, 0, 1}, 2, 2),
       2,
       2,
       {0, 0, 5, 0}},
      {"RLE8 move past the top row", rle({1, 5, 0, 2, 0, 2, 1, 6, 0, 1}, 2, 2), 2, 2, {0, 0, 5, 0}},
      {"RLE8 data after the top row",
       rle({1, 5, 0, 0, 1, 6, 0, 0, 1, 7, 0, 1}, 1, 2),
       1,
       2,
       {6, 5}},
      {"RLE8 ends of line past the top",
       rle({0, 0, 0, 0, 0, 0, 1, 3, 0, 1}, 2, 2),
       2,
       2,
       {0, 0, 0, 0}},
      {"RLE8 cut inside a literal", rle({0, 5, 1, 2}, 3, 2), 3, 2, {0, 0, 0, 1, 2, 0}},
      {"RLE8 at its claim bound", rle({0, 1}, 256, 258), 256, 258, Bytes(256 * 258, 0)},
  };
  for (const VariantCase& variant : cases) {
    Outcome outcome = importBytes(variant.file);
    ASSERT_TRUE(outcome.ok) << variant.name << ": problem " << static_cast<int>(outcome.problem);
    EXPECT_EQ(outcome.image.width, variant.width) << variant.name;
    EXPECT_EQ(outcome.image.height, variant.height) << variant.name;
    EXPECT_EQ(pixelsOf(outcome), variant.topRowFirst) << variant.name;
    releaseImportedImage(outcome.image);
  }
}

struct FixtureCase {
  const char* name;
  std::int32_t width;
  std::int32_t height;
};

// What real encoders write: ImageMagick's RLE8 runs every row out to its padded width, and OS/2
// core headers come from ImageMagick and netpbm alike. The indices were read by another decoder.
TEST(ImportBitmap, RealEncoderPicturesGiveTheirExactIndices) {
  const FixtureCase cases[] = {
      {"rle8-width-1", 1, 24},
      {"rle8-width-2", 2, 24},
      {"rle8-width-3", 3, 24},
      {"rle8-width-5", 5, 24},
      {"rle8-width-6", 6, 24},
      {"rle8-width-7", 7, 24},
      {"rle8-width-9", 9, 24},
      {"rle8-photo-70x46", 70, 46},
      {"rle8-flat-rows-259x40", 259, 40},
      {"os2-core-imagemagick", 70, 46},
      {"os2-core-netpbm", 37, 13},
  };
  for (const FixtureCase& picture : cases) {
    const Fixture fixture = loadFixture(picture.name);
    Outcome outcome = importBytes(fixture.file);
    if (!outcome.ok) {
      ADD_FAILURE() << picture.name << ": problem " << static_cast<int>(outcome.problem);
      continue;
    }
    EXPECT_EQ(outcome.image.width, picture.width) << picture.name;
    EXPECT_EQ(outcome.image.height, picture.height) << picture.name;
    EXPECT_EQ(pixelsOf(outcome), fixture.topRowFirst) << picture.name;
    releaseImportedImage(outcome.image);
  }
}

// RLE4 by the rules of RLE8, two pixels a byte: runs alternate the high and the low nibble,
// literals are padded to an even count of bytes, pixels past a row's end are dropped, moves skip.
// 1- and 4-bit rows unpacked high bits first, each row padded to 4 bytes.
TEST(ImportBitmap, FewerBitsAndRle4GiveTheirExactIndices) {
  struct Case {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::uint8_t bits;
    std::uint32_t compression;
    Bytes data;
    Bytes topRowFirst;
  } cases[] = {
      {"RLE4 run, literal past the row, run",
       5,
       2,
       4,
       2,
       {3, 0x12, 0, 3, 0x45, 0x60, 0, 0, 4, 0x9A, 0, 1},
       {9, 10, 9, 10, 0, 1, 2, 1, 4, 5}},
      {"RLE4 move, odd literal padded to an even count",
       4,
       3,
       4,
       2,
       {2, 0x77, 0, 2, 1, 1, 1, 0xF0, 0, 0, 0, 5, 0x12, 0x34, 0x50, 0x00, 0, 1},
       {1, 2, 3, 4, 0, 0, 0, 15, 7, 7, 0, 0}},
      {"RLE4 data ending inside a literal", 4, 1, 4, 2, {0, 4, 0x56}, {5, 6, 0, 0}},
      // After an odd literal the next code starts on a byte of its own: no nibble is carried.
      {"RLE4 odd literals ending inside their rows",
       8,
       2,
       4,
       2,
       {0, 3, 0x12, 0x30, 5, 0x45, 0, 0, 0, 5, 0x12, 0x34, 0x50, 0x00, 3, 0x67, 0, 1},
       {1, 2, 3, 4, 5, 6, 7, 6, 1, 2, 3, 4, 5, 4, 5, 4}},
      // Rows of 36 and 33 bits, each padded to 64 with set bits that must never show. Expected
      // indices unpacked by hand (bit i of a row is bit 7 - i % 8 of its byte i / 8).
      {"4 bits, 9 wide, 3 rows",
       9,
       3,
       4,
       0,
       {0x01, 0x23, 0x45, 0x67, 0x8F, 0xFF, 0xFF, 0xFF, 0x9A, 0xBC, 0xDE, 0xF0,
        0x1F, 0xFF, 0xFF, 0xFF, 0xFE, 0xDC, 0xBA, 0x98, 0x7F, 0xFF, 0xFF, 0xFF},
       {15, 14, 13, 12, 11, 10, 9, 8, 7, 9, 10, 11, 12, 13,
        14, 15, 0,  1,  0,  1,  2, 3, 4, 5, 6,  7,  8}},
      {"1 bit, 33 wide, 3 rows",
       33,
       3,
       1,
       0,
       {0xFF, 0x00, 0xFF, 0x00, 0x80, 0x7F, 0xFF, 0xFF, 0x0F, 0xF0, 0x33, 0xCC,
        0x7F, 0xFF, 0xFF, 0xFF, 0xAA, 0x55, 0x01, 0x80, 0xC0, 0xFF, 0xFF, 0xFF},
       {1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1,
        0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,
        0, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0,
        0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"4 bits, odd width",
       3,
       2,
       4,
       0,
       {0x12, 0x30, 0, 0, 0xAB, 0xC0, 0, 0},
       {10, 11, 12, 1, 2, 3}},
      {"1 bit, 9 wide",
       9,
       2,
       1,
       0,
       {0xAA, 0x80, 0, 0, 0x55, 0x00, 0, 0},
       {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    BitmapFields fields;
    fields.width = c.width;
    fields.height = c.height;
    fields.bitCount = c.bits;
    fields.compression = c.compression;
    fields.paletteEntries = 1u << c.bits;
    fields.pixelData = c.data;
    Outcome outcome = importBytes(makeBitmap(fields));
    ASSERT_TRUE(outcome.ok) << c.name << ": problem " << static_cast<int>(outcome.problem);
    EXPECT_EQ(pixelsOf(outcome), c.topRowFirst) << c.name;
    releaseImportedImage(outcome.image);
  }
}

// Counts what the importer asks of the heap, and can refuse the nth request.
struct AllocationWatch {
  static inline std::size_t largest = 0;
  static inline int calls = 0;
  static inline int failOn = 0;
  static bool refuse(std::size_t size) {
    largest = std::max(largest, size);
    return ++calls == failOn;
  }
  static void* allocate(std::size_t size) { return refuse(size) ? nullptr : std::malloc(size); }
  static void* allocateZeroed(std::size_t count, std::size_t size) {
    return refuse(count * size) ? nullptr : std::calloc(count, size);
  }
  AllocationWatch(int failing = 0) {
    largest = 0;
    calls = 0;
    failOn = failing;
    allocateBlock = &AllocationWatch::allocate;
    allocateZeroedBlock = &AllocationWatch::allocateZeroed;
  }
  ~AllocationWatch() {
    allocateBlock = &allocateSystemBlock;
    allocateZeroedBlock = &std::calloc;
  }
};

// A megabyte of RLE8 ends of line claiming 46000 x 46000 pixels (2 GiB of blocks).
Bytes rleBomb() { return rle(Bytes(1100000, 0), 46000, 46000); }

TEST(ImportBitmap, HugeClaimsInSmallFilesAllocateNothingBig) {
  BitmapFields plain = fourByTwo();
  plain.width = plain.height = 30000;  // fits 32 bits: only the size check can stop it
  plain.pixelData.resize(900);
  for (const Bytes& file : {makeBitmap(plain), rle({0, 1}, 46000, 46000), rleBomb()}) {
    AllocationWatch watch;
    Outcome outcome = importBytes(file);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.problem, ImportProblem::kMissingPixels);
    EXPECT_LT(AllocationWatch::largest, 1u << 16);
  }
}

// Between the largest count whose compressed room fits 32 bits (2,126,221,421) and 2^31 - 1, the
// picture itself fits the format's counts but its stream's room does not. An RLE8 file backs such
// a claim with about 8 MB of data, so only the size check stands between it and 4 GB of blocks.
TEST(ImportBitmap, ACountPastTheLargestCompressibleOneIsTooLargeBeforeAnyAllocation) {
  const std::int64_t largest = 2126221421;
  ASSERT_LE(outputCapacity(largest), std::numeric_limits<std::int32_t>::max());
  for (const std::int64_t count : {largest + 1, std::int64_t{2147483647}}) {
    const std::int64_t dataBytes = (count - 65536) / 256 + 1;  // enough to back the claim
    const Bytes file =
        rle(Bytes(static_cast<std::size_t>(dataBytes), 0), static_cast<std::int32_t>(count), 1);
    AllocationWatch watch;
    const Outcome outcome = importBytes(file);
    EXPECT_EQ(outcome.problem, ImportProblem::kTooLarge) << count;
    EXPECT_LT(AllocationWatch::largest, 1u << 16) << count;
  }
}

// Whatever the name leads to, only a regular file is read: a pipe would make the open wait for a
// writer, and a device or a folder is no picture. Everything lives in the test's own folder; a
// device node can only be made by root, and elsewhere that row is left out.
TEST(ImportBitmap, WhatIsNotARegularFileIsRefusedAtOnce) {
  ScratchDirectory directory;
  const std::string fifo = directory.path("pipe.bmp");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = directory.path("folder.bmp");
  std::filesystem::create_directory(folder);
  std::vector<std::string> paths = {fifo, folder};
  const std::string device = directory.path("device.bmp");
  if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
    paths.push_back(device);
  } else {
    std::cout << "[ NOTE     ] no device node without root; that row is left out\n";
  }
  for (const std::string& path : paths) {
    std::future<ImportProblem> problem = std::async(std::launch::async, [&] {
      ImportedImage image = markedImage();
      return importBitmap(path.c_str(), image).problem;
    });
    if (problem.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << path << ": the import is still waiting";
      close(open(path.c_str(), O_WRONLY));  // a writer lets the waiting open go on
    }
    EXPECT_EQ(problem.get(), ImportProblem::kCannotOpen) << path;
  }
}

TEST(ImportBitmap, NamesWithSpacesAndLettersBeyondAsciiOpen) {
  ScratchDirectory directory;
  std::filesystem::create_directory(directory.path("Slike epizode"));
  const std::string path = directory.path("Slike epizode/naslov čćž ü.bmp");
  writeFile(path, makeBitmap(fourByTwo()));
  Outcome outcome = importFile(path);
  ASSERT_TRUE(outcome.ok);
  EXPECT_EQ(pixelsOf(outcome), (Bytes{5, 6, 7, 8, 1, 2, 3, 4}));
  releaseImportedImage(outcome.image);
}

// The seeds of the fuzz corpus say by their names what they are: each refused-* seed must be
// refused, and every other seed made here accepted.
TEST(ImportBitmap, CorpusSeedsAreRefusedOrAcceptedAsNamed) {
  const std::filesystem::path corpus =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "bitmap";
  int refused = 0;
  int accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("found-", 0) == 0) continue;  // fuzzing finds, kept whatever their outcome
    const bool shouldRefuse = name.rfind("refused-", 0) == 0;
    Outcome outcome = importFile(entry.path().string());
    EXPECT_EQ(outcome.ok, !shouldRefuse) << name;
    if (outcome.ok) releaseImportedImage(outcome.image);
    ++(shouldRefuse ? refused : accepted);
  }
  EXPECT_GT(refused, 20) << corpus;
  EXPECT_GT(accepted, 20) << corpus;
}

// Whichever block cannot be had, the import says so and leaves the record as it was: an 8-bit
// bitmap takes only the stream's room (its rows go through buffers on the stack), an RLE8 one
// its zeroed pixels first, and a 70000-pixel row is longer than the stack's buffers.
TEST(ImportBitmap, FailedAllocationEndsCleanlyWithMemoryError) {
  BitmapFields longRow;
  longRow.width = 70000;
  longRow.height = 1;
  longRow.pixelData.assign(70000, 9);
  const struct {
    const char* name;
    Bytes file;
    int blocks;
  } cases[] = {
      {"8-bit", makeBitmap(fourByTwo()), 1},
      {"RLE8", rle({4, 7, 0, 0, 4, 9, 0, 1}, 4, 2), 2},
      {"8-bit, a row past the stack's buffers", makeBitmap(longRow), 3},
  };
  for (const auto& c : cases) {
    for (int failing = 1; failing <= c.blocks + 1; ++failing) {
      AllocationWatch watch(failing);
      Outcome outcome = importBytes(c.file);
      if (failing > c.blocks) {  // every block was had
        EXPECT_TRUE(outcome.ok) << c.name;
        if (outcome.ok) releaseImportedImage(outcome.image);
        continue;
      }
      EXPECT_EQ(outcome.problem, ImportProblem::kOutOfMemory) << c.name << ", block " << failing;
      EXPECT_EQ(outcome.image.compressedSize, -7) << c.name << ", block " << failing;
    }
  }
}

TEST(ImportBitmap, LargePictureRoundTrips) {
  BitmapFields fields;
  fields.width = 640;
  fields.height = 480;
  fields.pixelData.resize(640 * 480);
  for (std::size_t i = 0; i < fields.pixelData.size(); ++i) {
    fields.pixelData[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  }
  Outcome outcome = importBytes(makeBitmap(fields));
  ASSERT_TRUE(outcome.ok);
  Bytes expected(fields.pixelData);
  flipRows(expected.data(), 640, 480);
  EXPECT_EQ(pixelsOf(outcome), expected);
  EXPECT_LE(outcome.image.compressedSize, outputCapacity(640 * 480));
  releaseImportedImage(outcome.image);
}

// An 8-bit bitmap goes from the file into the stream a chunk of rows at a time; the stream must
// be byte for byte compress2's of the whole picture, top row first, whatever the rows' padding,
// order and length (chunks of about 64 KB: 200 rows of 333 need two, a 70000-byte row is longer
// than one). The pixels are made here, each row from its own number, and put in order here.
TEST(ImportBitmap, StreamIsCompress2OfTheWholePicture) {
  struct Shape {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    bool topRowFirst;
    bool lastRowUnpadded;
  };
  const Shape shapes[] = {
      {"bottom-up, padded rows, two chunks", 333, 200, false, false},
      {"bottom-up, last row without padding", 333, 200, false, true},
      {"top-down, padded rows", 333, 200, true, false},
      {"rows of exactly 4n bytes, many chunks", 640, 480, false, false},
      {"a row longer than a chunk", 70001, 3, false, false},
      {"one row", 5, 1, false, false},
      {"no pixels", 0, 3, false, false},
  };
  for (const Shape& shape : shapes) {
    const std::size_t width = static_cast<std::size_t>(shape.width);
    const std::size_t stride = (width + 3) / 4 * 4;
    Bytes topFirst;  // the picture, top row first
    for (std::int32_t y = 0; y < shape.height; ++y) {
      for (std::size_t x = 0; x < width; ++x) {
        topFirst.push_back(static_cast<unsigned char>((x * 7 + std::size_t(y) * 31) ^ (x >> 5)));
      }
    }
    BitmapFields fields;
    fields.width = shape.width;
    fields.height = shape.topRowFirst ? -shape.height : shape.height;
    for (std::int32_t stored = 0; stored < shape.height; ++stored) {
      const std::int32_t y = shape.topRowFirst ? stored : shape.height - 1 - stored;
      const auto row = topFirst.begin() + static_cast<std::ptrdiff_t>(std::size_t(y) * width);
      fields.pixelData.insert(fields.pixelData.end(), row,
                              row + static_cast<std::ptrdiff_t>(width));
      const bool last = stored + 1 == shape.height;
      if (!(last && shape.lastRowUnpadded))
        fields.pixelData.resize(fields.pixelData.size() + stride - width, 0xEE);
    }
    Bytes expected(static_cast<std::size_t>(outputCapacity(std::int64_t(topFirst.size()))));
    uLongf length = expected.size();
    ASSERT_EQ(compress2(expected.data(), &length, topFirst.data(), topFirst.size(), 9), Z_OK);
    expected.resize(length);

    Outcome outcome = importBytes(makeBitmap(fields));
    ASSERT_TRUE(outcome.ok) << shape.name;
    EXPECT_EQ(outcome.image.width, shape.width) << shape.name;
    EXPECT_EQ(outcome.image.height, shape.height) << shape.name;
    const Bytes stream(outcome.image.compressedData,
                       outcome.image.compressedData + outcome.image.compressedSize);
    EXPECT_EQ(stream, expected) << shape.name;
    releaseImportedImage(outcome.image);
  }
}

}  // namespace
