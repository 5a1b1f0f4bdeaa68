#include "colour_mapping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

Palette paletteOf(const std::vector<std::vector<int>>& colours) {
  Palette palette{};
  palette.colourCount = static_cast<int>(colours.size());
  for (std::size_t i = 0; i < colours.size(); ++i) {
    palette.entries[i][0] = static_cast<unsigned char>(colours[i][2]);
    palette.entries[i][1] = static_cast<unsigned char>(colours[i][1]);
    palette.entries[i][2] = static_cast<unsigned char>(colours[i][0]);
  }
  return palette;
}

Palette randomPalette(std::uint32_t seed, int count) {
  Palette palette{};
  palette.colourCount = count;
  for (int i = 0; i < count; ++i) {
    for (int c = 0; c < 3; ++c) {
      seed = seed * 1103515245u + 12345u;
      palette.entries[i][c] = static_cast<unsigned char>(seed >> 24);
    }
  }
  return palette;
}

// The search with its memo against the plain one: palettes of every size, with repeated colours,
// clustered ones (many ties) and an excluded index, over colours from everywhere in the cube.
TEST(NearestColours, EveryAnswerIsTheBruteForceOne) {
  struct Case {
    const char* name;
    Palette palette;
    int excluded;
  };
  Palette repeats = randomPalette(5, 256);
  std::memcpy(repeats.entries[200], repeats.entries[3], 4);
  std::memcpy(repeats.entries[100], repeats.entries[3], 4);
  Palette coarse{};  // every channel a multiple of 64: colours halfway between tie
  coarse.colourCount = 64;
  for (int i = 0; i < 64; ++i) {
    coarse.entries[i][0] = static_cast<unsigned char>((i % 4) * 64);
    coarse.entries[i][1] = static_cast<unsigned char>((i / 4 % 4) * 64);
    coarse.entries[i][2] = static_cast<unsigned char>((i / 16) * 64);
  }
  const Case cases[] = {
      {"one colour", randomPalette(1, 1), -1},
      {"two colours", randomPalette(2, 2), -1},
      {"16 colours", randomPalette(3, 16), -1},
      {"256 colours", randomPalette(4, 256), -1},
      {"repeated colours", repeats, -1},
      {"repeated colours, the first excluded", repeats, 3},
      {"coarse grid with ties", coarse, -1},
      {"coarse grid, one excluded", coarse, 21},
  };
  for (const Case& c : cases) {
    NearestColours nearest;
    ASSERT_TRUE(prepareNearest(nearest, c.palette, c.excluded)) << c.name;
    std::uint32_t state = 99;
    for (int i = 0; i < 60000; ++i) {
      state = state * 1664525u + 1013904223u;
      // Half of them on the coarse grid's halfway points, where ties are.
      const unsigned r = i % 2 ? state >> 24 : (state >> 30) * 64 + 32;
      const unsigned g = i % 2 ? (state >> 16) & 255 : ((state >> 28) & 3) * 64 + 32;
      const unsigned b = i % 2 ? (state >> 8) & 255 : ((state >> 26) & 3) * 64;
      const unsigned char expected = nearestByBruteForce(c.palette, c.excluded, r, g, b);
      ASSERT_EQ(nearestIndex(nearest, r, g, b), expected)
          << c.name << ": " << r << " " << g << " " << b;
      ASSERT_EQ(nearestIndex(nearest, r, g, b), expected) << c.name << " (from the memo)";
    }
  }
}

TEST(NearestColours, NoColourLeftIsSaid) {
  NearestColours nearest;
  EXPECT_FALSE(prepareNearest(nearest, randomPalette(1, 1), 0));
}

DecodedPicture indexedPicture(std::vector<unsigned char> indices, const Palette& colours,
                              int width) {
  DecodedPicture picture;
  picture.width = width;
  picture.height = static_cast<std::int32_t>(indices.size()) / width;
  picture.pixels = allocateBytes(static_cast<std::int64_t>(indices.size()));
  std::memcpy(picture.pixels.get(), indices.data(), indices.size());
  picture.paletteCount = colours.colourCount;
  for (int i = 0; i < 256; ++i) {
    picture.palette[i][0] = colours.entries[i][2];
    picture.palette[i][1] = colours.entries[i][1];
    picture.palette[i][2] = colours.entries[i][0];
    picture.palette[i][3] = 255;
  }
  return picture;
}

std::vector<unsigned char> indicesOf(const DecodedPicture& picture) {
  return std::vector<unsigned char>(picture.pixels.get(),
                                    picture.pixels.get() + pixelCountOf(picture));
}

TEST(MapPicture, AnIndexedPictureInTheGamesColoursKeepsEveryIndex) {
  const Palette game = paletteOf({{0, 0, 0}, {9, 9, 9}, {50, 60, 70}, {9, 9, 9}, {255, 0, 0}});
  ImportOptions options;
  options.hasPalette = true;
  options.palette = game;
  // Index 3 repeats index 1's colour: it stays 3.
  DecodedPicture picture = indexedPicture({3, 1, 2, 4, 3, 0}, game, 3);
  MappingReport report;
  ASSERT_TRUE(mapPicture(picture, options, report).ok());
  EXPECT_FALSE(report.mapped);
  EXPECT_EQ(indicesOf(picture), (std::vector<unsigned char>{3, 1, 2, 4, 3, 0}));

  // One entry off: the whole picture is mapped by colour, so index 3 becomes 1 (lowest index).
  Palette own = game;
  own.entries[4][2] = 250;
  DecodedPicture drifted = indexedPicture({3, 1, 2, 4, 3, 0}, own, 3);
  ASSERT_TRUE(mapPicture(drifted, options, report).ok());
  EXPECT_TRUE(report.mapped);
  EXPECT_EQ(indicesOf(drifted), (std::vector<unsigned char>{1, 1, 2, 4, 1, 0}));
  EXPECT_EQ(report.changedPixels, 1);
  EXPECT_EQ(report.largestDistance2, 25u);
}

TEST(MapPicture, TransparencyExactColoursAndDither) {
  const Palette game = paletteOf({{0, 0, 0}, {255, 255, 255}, {128, 128, 128}, {200, 0, 0}});
  ImportOptions options;
  options.hasPalette = true;
  options.palette = game;
  options.transparentIndex = 2;
  DecodedPicture picture;
  picture.width = 4;
  picture.height = 1;
  picture.indexed = false;
  const unsigned char rgba[16] = {128, 128, 128, 255, 10,  10,  10,  0,
                                  190, 5,   5,   128, 250, 250, 250, 255};
  picture.pixels = allocateBytes(16);
  std::memcpy(picture.pixels.get(), rgba, 16);
  MappingReport report;
  ASSERT_TRUE(mapPicture(picture, options, report).ok());
  // Grey is exactly index 2, the transparent one, which is never chosen for a colour: the
  // nearest of the others is the red (37952 against white's 48387 and black's 49152).
  EXPECT_EQ(indicesOf(picture), (std::vector<unsigned char>{3, 2, 3, 1}));
  EXPECT_EQ(report.transparentPixels, 1);
  EXPECT_EQ(report.partlyTransparent, 1);

  options.transparentIndex = -1;
  options.exactColours = true;
  picture.pixels = allocateBytes(16);
  picture.indexed = false;
  std::memcpy(picture.pixels.get(), rgba, 16);
  const ImportOutcome refused = mapPicture(picture, options, report);
  EXPECT_EQ(refused.problem, ImportProblem::kColourNotInPalette);
  EXPECT_EQ(refused.x, 1);
  EXPECT_EQ(refused.y, 0);
  EXPECT_EQ(refused.colour, 0x0A0A0Au);

  // A flat mid grey between black and white, dithered: a mix of both, near half and half.
  const Palette blackWhite = paletteOf({{0, 0, 0}, {255, 255, 255}});
  options = ImportOptions{};
  options.hasPalette = true;
  options.palette = blackWhite;
  options.dither = true;
  DecodedPicture grey;
  grey.width = 16;
  grey.height = 16;
  grey.indexed = false;
  grey.pixels = allocateBytes(16 * 16 * 4);
  std::memset(grey.pixels.get(), 128, 16 * 16 * 4);
  ASSERT_TRUE(mapPicture(grey, options, report).ok());
  int white = 0;
  for (unsigned char index : indicesOf(grey)) white += index;
  EXPECT_GT(white, 100);
  EXPECT_LT(white, 156);
}

}  // namespace

namespace {

// A plain (BI_RGB) 32-bit pixel's fourth byte is padding, whatever it holds: with a transparent
// index given, none of these pixels is transparent.
TEST(ImportPicture, TheFourthByteOfAPlain32BitPixelIsNoAlpha) {
  ScratchDirectory directory;
  BitmapFields fields;
  fields.width = 2;
  fields.height = 1;
  fields.bitCount = 32;
  fields.paletteEntries = 0;
  fields.pixelData = {0, 0, 255, 0, 255, 255, 255, 0};  // blue, green, red, padding
  const std::string path = directory.path("padded.bmp");
  writeFile(path, makeBitmap(fields));
  ImportOptions options;
  options.hasPalette = true;
  options.palette = paletteOf({{0, 0, 0}, {255, 0, 0}, {255, 255, 255}});
  options.transparentIndex = 0;
  ImportedImage image{};
  MappingReport report;
  ASSERT_TRUE(importPicture(path.c_str(), options, image, &report).ok());
  EXPECT_EQ(inflateStream(image.compressedData, static_cast<std::size_t>(image.compressedSize)),
            (Bytes{1, 2}));
  EXPECT_EQ(report.transparentPixels, 0);
  releaseImportedImage(image);
}

}  // namespace
