#include "bitmap_writer.h"

#include <gtest/gtest.h>

#include "picture_import.h"
#include "test_support.h"

namespace {

Bytes indices(std::int32_t width, std::int32_t height) {
  Bytes pixels(static_cast<std::size_t>(width * height));
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<unsigned char>(i * 31 + 1);
  return pixels;
}

TEST(WriteBitmapFile, PlainLayoutThatImportsToTheSamePixels) {
  ScratchDirectory directory;
  Palette palette = greyRamp();
  palette.entries[5][2] = 200;
  for (std::int32_t width : {0, 1, 2, 3, 4, 5, 7, 8}) {
    for (std::int32_t height : {0, 1, 3}) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
      const Bytes pixels = indices(width, height);
      const std::string path = directory.path("out.bmp");
      ASSERT_TRUE(writeBitmapFile(path.c_str(), width, height, pixels.data(), palette));
      const Bytes file = readFile(path);
      const std::size_t stride = static_cast<std::size_t>((width + 3) / 4 * 4);
      ASSERT_EQ(file.size(), 1078 + stride * static_cast<std::size_t>(height));
      EXPECT_EQ(getLe32(file, 2), file.size());
      EXPECT_EQ(getLe32(file, 10), 1078u);
      EXPECT_EQ(getLe32(file, 14), 40u);
      EXPECT_EQ(getLe32(file, 18), static_cast<std::uint32_t>(width));
      EXPECT_EQ(getLe32(file, 22), static_cast<std::uint32_t>(height));
      EXPECT_EQ(file[28], 8);
      EXPECT_EQ(getLe32(file, 30), 0u);
      EXPECT_EQ(Bytes(file.begin() + 54, file.begin() + 1078),
                Bytes(&palette.entries[0][0], &palette.entries[0][0] + 1024));
      for (std::int32_t row = 0; row < height; ++row) {  // bottom row first, zero padding
        const std::size_t at = 1078 + stride * static_cast<std::size_t>(height - 1 - row);
        EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at),
                        file.begin() + static_cast<long>(at) + width),
                  Bytes(pixels.begin() + row * width, pixels.begin() + (row + 1) * width));
        for (std::size_t pad = static_cast<std::size_t>(width); pad < stride; ++pad) {
          EXPECT_EQ(file[at + pad], 0);
        }
      }
      ImportedImage image{};
      ASSERT_TRUE(importBitmap(path.c_str(), image).ok());
      EXPECT_EQ(inflateStream(image.compressedData, static_cast<std::size_t>(image.compressedSize)),
                pixels);
      releaseImportedImage(image);
    }
  }
}

TEST(WriteBitmapFile, FailureLeavesNothingBehind) {
  ScratchDirectory directory;
  const Bytes pixels = indices(4, 4);
  EXPECT_FALSE(
      writeBitmapFile(directory.path("missing/out.bmp").c_str(), 4, 4, pixels.data(), greyRamp()));
  EXPECT_FALSE(
      writeBitmapFile(directory.path("negative.bmp").c_str(), -4, 4, pixels.data(), greyRamp()));
  EXPECT_TRUE(directory.entries().empty());
}

TEST(ReadPalette, ListedColoursTakenTheRestBlack) {
  ScratchDirectory directory;
  BitmapFields fields;
  fields.width = 4;
  fields.height = 1;
  fields.paletteEntries = 16;
  fields.pixelData = Bytes(4, 1);
  writeFile(directory.path("16.bmp"), makeBitmap(fields));
  Palette palette = greyRamp();
  ASSERT_TRUE(readPalette(directory.path("16.bmp").c_str(), palette).ok());
  EXPECT_EQ(palette.entries[15][0], 15);  // makeBitmap lists a grey ramp
  EXPECT_EQ(palette.entries[16][0], 0);
  EXPECT_EQ(palette.entries[255][1], 0);

  // The old 12-byte header: 16-bit sizes, bit count at 24, 3-byte entries.
  Bytes core(14 + 12 + 256 * 3, 0);
  core[0] = 'B';
  core[1] = 'M';
  putLe32(core, 14, 12);
  core[24] = 8;
  core[26 + 3 * 200] = 0x11;
  core[26 + 3 * 200 + 2] = 0x33;
  writeFile(directory.path("core.bmp"), core);
  ASSERT_TRUE(readPalette(directory.path("core.bmp").c_str(), palette).ok());
  EXPECT_EQ(palette.entries[200][0], 0x11);
  EXPECT_EQ(palette.entries[200][2], 0x33);
  EXPECT_EQ(palette.entries[200][3], 0);

  // OS/2 2.x headers of 16 to 64 bytes: 4-byte entries right after them; a header too short to
  // hold the colour count lists all 256.
  for (std::uint32_t infoSize : {16u, 64u}) {
    BitmapFields os2;
    os2.width = 2;
    os2.height = 1;
    os2.infoSize = infoSize;
    os2.pixelData = {1, 2, 0, 0};
    const std::string name = directory.path("os2-" + std::to_string(infoSize) + ".bmp");
    writeFile(name, makeBitmap(os2));
    Palette read{};
    ASSERT_TRUE(readPalette(name.c_str(), read).ok()) << infoSize;
    EXPECT_EQ(read.entries[255][0], 255) << infoSize;
    EXPECT_EQ(read.entries[17][1], 17) << infoSize;
  }
}

// A header that counts all 256 colours (colours used 0) before a palette of 16: the palette read
// stops where the pixels begin, as the import's does, and the picture's colours are taken.
TEST(ReadPalette, AShortPaletteEndsWhereThePixelsBegin) {
  ScratchDirectory directory;
  BitmapFields fields;
  fields.width = 4;
  fields.height = 1;
  fields.paletteEntries = 16;
  fields.pixelData = {1, 2, 3, 15};
  Bytes file = makeBitmap(fields);
  for (int i = 46; i < 50; ++i) file[i] = 0;
  const std::string path = directory.path("short palette.bmp");
  writeFile(path, file);
  Palette palette{};
  ASSERT_TRUE(readPalette(path.c_str(), palette).ok());
  EXPECT_EQ(palette.colourCount, 16);
  ImportedImage image{};
  ASSERT_TRUE(importBitmap(path.c_str(), image).ok()) << "the import takes the same file";
  releaseImportedImage(image);
}

TEST(ReadPalette, RefusalsSayWhy) {
  ScratchDirectory directory;
  BitmapFields fields;
  fields.width = 1;
  fields.height = 1;
  fields.bitCount = 24;
  fields.paletteEntries = 0;
  writeFile(directory.path("24.bmp"), makeBitmap(fields));
  fields.bitCount = 8;
  fields.paletteEntries = 256;
  Bytes cut = makeBitmap(fields);
  cut.resize(600);
  writeFile(directory.path("cut.bmp"), cut);
  writeFile(directory.path("text.bmp"), Bytes(100, 'x'));
  fields.infoSize = 14;
  writeFile(directory.path("header-14.bmp"), makeBitmap(fields));
  struct Case {
    const char* name;
    PaletteProblem problem;
    long long detail;
  } cases[] = {{"24.bmp", PaletteProblem::kBitmapWithoutPalette, 24},
               {"cut.bmp", PaletteProblem::kPaletteMissing, 0},
               {"text.bmp", PaletteProblem::kUnknownForm, 0},
               {"header-14.bmp", PaletteProblem::kUnsupportedHeader, 14},
               {"none.bmp", PaletteProblem::kCannotOpen, 0}};
  for (const Case& c : cases) {
    Palette palette = greyRamp();
    const PaletteOutcome outcome = readPalette(directory.path(c.name).c_str(), palette);
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(outcome.detail, c.detail) << c.name;
    EXPECT_EQ(palette.entries[9][0], 9) << "a refusal leaves the palette alone";
  }
}

}  // namespace
