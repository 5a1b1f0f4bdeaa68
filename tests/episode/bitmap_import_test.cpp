#include "bitmap_import.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

TEST(OutputCapacity, GrowsByOnePercentRoundedHalfUpPlusTwelve) {
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {0, 12}, {49, 61}, {50, 63}, {100, 113}, {307200, 310284}, {2126221421, 2147483647}};
  for (auto [count, capacity] : cases) EXPECT_EQ(outputCapacity(count), capacity) << count;
  EXPECT_GT(outputCapacity(2126221422), 2147483647);
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
      {"24 bits", [&] { return edited(good, [](BitmapFields& s) { s.bitCount = 24; }); }},
      {"4 bits", [&] { return edited(good, [](BitmapFields& s) { s.bitCount = 4; }); }},
      {"too short for the bit count", [&] { return truncated(makeBitmap(good), 28); }},
      {"too short for the info header", [&] { return truncated(makeBitmap(good), 50); }},
      {"12-byte info header",
       [&] { return edited(good, [](BitmapFields& s) { s.infoSize = 12; }); }},
      {"compression 2", [&] { return edited(good, [](BitmapFields& s) { s.compression = 2; }); }},
      {"compression 3", [&] { return edited(good, [](BitmapFields& s) { s.compression = 3; }); }},
      {"negative width", [&] { return edited(good, [](BitmapFields& s) { s.width = -4; }); }},
      {"smallest height",
       [&] { return edited(good, [](BitmapFields& s) { s.height = INT32_MIN; }); }},
      {"pixel area one byte short", [&] { return truncated(makeBitmap(good), 1078 + 7); }},
      {"offset inside the headers",
       [&] { return edited(good, [](BitmapFields& s) { s.pixelOffset = 50; }); }},
      {"offset past the end",
       [&] { return edited(good, [](BitmapFields& s) { s.pixelOffset = 5000; }); }},
      {"100000 x 100000 in 2 KB",
       [&] {
         return edited(good, [](BitmapFields& s) {
           s.width = s.height = 100000;
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
      {"RLE8 run past its row",
       [] {
         return rle({3, 1, 0, 1}, 2, 2);
       }},
      {"RLE8 literal past its row",
       [] {
         return rle({0, 3, 1, 2, 3, 0, 0, 1}, 2, 2);
       }},
      {"RLE8 move past the row",
       [] {
         return rle({0, 2, 3, 0, 0, 1}, 2, 2);
       }},
      {"RLE8 move past the picture",
       [] {
         return rle({0, 2, 0, 2, 0, 1}, 2, 2);
       }},
      {"RLE8 run past the picture",
       [] {
         return rle({0, 0, 0, 0, 1, 1, 0, 1}, 2, 2);
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
  Bytes rleCut = {4, 5, 0, 0, 2, 6};  // the data stops with no end of picture

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

// Counts what the importer asks of the heap, and can refuse the nth request.
struct AllocationWatch {
  static inline std::size_t largest = 0;
  static inline int calls = 0;
  static inline int failOn = 0;
  static void* allocate(std::size_t size) {
    largest = std::max(largest, size);
    if (++calls == failOn) return nullptr;
    return std::malloc(size);
  }
  AllocationWatch(int failing = 0) {
    largest = 0;
    calls = 0;
    failOn = failing;
    allocateBlock = &AllocationWatch::allocate;
  }
  ~AllocationWatch() { allocateBlock = &std::malloc; }
};

TEST(ImportBitmap, HugeClaimsInSmallFilesAllocateNothingBig) {
  BitmapFields plain = fourByTwo();
  plain.width = plain.height = 100000;
  plain.pixelData.resize(900);
  for (const Bytes& file : {makeBitmap(plain), rle({0, 1}, 46000, 46000)}) {
    AllocationWatch watch;
    EXPECT_FALSE(importBytes(file).ok);
    EXPECT_LT(AllocationWatch::largest, 1u << 16);
  }
}

TEST(ImportBitmap, FailedAllocationEndsCleanlyWithMemoryError) {
  for (int failing : {1, 2}) {  // the pixel block, then the output block
    AllocationWatch watch(failing);
    Outcome outcome = importBytes(makeBitmap(fourByTwo()));
    EXPECT_FALSE(outcome.ok) << failing;
    EXPECT_EQ(outcome.problem, ImportProblem::kOutOfMemory) << failing;
    EXPECT_EQ(outcome.image.compressedSize, -7) << failing;
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

}  // namespace
