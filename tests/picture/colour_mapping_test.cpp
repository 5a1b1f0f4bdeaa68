#include "colour_mapping.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "processors.h"
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

// Every colour of a block against the plain search; blocks are what the memo works out whole.
void expectBlockAsBruteForce(NearestColours& nearest, const Palette& palette, int excluded,
                             unsigned block, const char* name) {
  const unsigned red = (block >> 8) * 16, green = (block >> 4 & 15) * 16, blue = (block & 15) * 16;
  for (unsigned at = 0; at < 4096; ++at) {
    const unsigned r = red + (at >> 8), g = green + (at >> 4 & 15), b = blue + (at & 15);
    ASSERT_EQ(nearestIndex(nearest, r, g, b), nearestByBruteForce(palette, excluded, r, g, b))
        << name << ": " << r << " " << g << " " << b;
  }
}

Palette latticePalette(int step, int offset) {
  Palette palette{};
  palette.colourCount = 0;
  for (int r = offset; r < 256 && palette.colourCount < 256; r += step) {
    for (int g = offset; g < 256 && palette.colourCount < 256; g += step) {
      for (int b = offset; b < 256 && palette.colourCount < 256; b += step) {
        unsigned char* entry = palette.entries[palette.colourCount++];
        entry[0] = static_cast<unsigned char>(b);
        entry[1] = static_cast<unsigned char>(g);
        entry[2] = static_cast<unsigned char>(r);
      }
    }
  }
  return palette;
}

// The search with its memo against the plain one, on palettes made to be hard: colours in pairs
// that many colours are equally far from, repeats, the cube's corners and edges, an excluded
// index. Every colour of whole blocks along the diagonal and at the corners, and a sparse grid
// through the whole cube.
TEST(NearestColours, EveryAnswerIsTheBruteForceOne) {
  struct Case {
    const char* name;
    Palette palette;
    int excluded;
  };
  Palette repeats = randomPalette(5, 256);
  std::memcpy(repeats.entries[200], repeats.entries[3], 4);
  std::memcpy(repeats.entries[100], repeats.entries[3], 4);
  Palette same{};  // 256 times one colour
  for (auto& entry : same.entries) entry[0] = entry[1] = entry[2] = 77;
  Palette corners{};  // the eight corners, the twelve edges' middles and the cube's centre
  corners.colourCount = 0;
  for (int r : {0, 128, 255}) {
    for (int g : {0, 128, 255}) {
      for (int b : {0, 128, 255}) {
        const int middles = (r == 128) + (g == 128) + (b == 128);
        if (middles == 2) continue;  // the faces' centres: left out, so edges border wide gaps
        unsigned char* entry = corners.entries[corners.colourCount++];
        entry[0] = static_cast<unsigned char>(b);
        entry[1] = static_cast<unsigned char>(g);
        entry[2] = static_cast<unsigned char>(r);
      }
    }
  }
  // Pairs two apart: every colour with an odd channel between them is equally far from both.
  Palette pairs{};
  pairs.colourCount = 128;
  std::uint32_t state = 11;
  for (int i = 0; i < 128; i += 2) {
    state = state * 1103515245u + 12345u;
    const int channel = static_cast<int>(state >> 30) % 3;
    for (int c = 0; c < 3; ++c) {
      state = state * 1103515245u + 12345u;
      pairs.entries[i][c] = pairs.entries[i + 1][c] = static_cast<unsigned char>(state >> 24);
    }
    pairs.entries[i][channel] =
        static_cast<unsigned char>(std::min<int>(pairs.entries[i][channel], 253));
    pairs.entries[i + 1][channel] = static_cast<unsigned char>(pairs.entries[i][channel] + 2);
  }
  // Every colour in the darkest of the 64 regions of 64 x 64 x 64: the others have none of their
  // own, and each of their blocks must still find all that can be nearest.
  Palette crowded = randomPalette(9, 256);
  for (auto& entry : crowded.entries) {
    for (int c = 0; c < 3; ++c) entry[c] = static_cast<unsigned char>(entry[c] / 4);
  }
  const Case cases[] = {
      {"one colour", randomPalette(1, 1), -1},
      {"every colour in one corner region", crowded, -1},
      {"two colours", randomPalette(2, 2), -1},
      {"256 colours", randomPalette(4, 256), -1},
      {"256 colours, one excluded", randomPalette(4, 256), 17},
      {"repeated colours, the first excluded", repeats, 3},
      {"256 equal colours", same, -1},
      {"256 equal colours, the first excluded", same, 0},
      {"corners and edges", corners, -1},
      {"corners and edges, the white corner excluded", corners, corners.colourCount - 1},
      // Spacing 16 from 8: halfway between neighbours is a block's face.
      {"lattice on the blocks' middles", latticePalette(16, 8), -1},
      {"lattice on the blocks' corners", latticePalette(64, 0), -1},
      {"lattice two apart", latticePalette(2, 100), -1},
      {"pairs two apart", pairs, -1},
  };
  for (const Case& c : cases) {
    NearestColours nearest;
    ASSERT_TRUE(prepareNearest(nearest, c.palette, c.excluded)) << c.name;
    for (unsigned step = 0; step < 16; step += 5) {
      expectBlockAsBruteForce(nearest, c.palette, c.excluded, step * 0x111, c.name);
    }
    for (unsigned block : {0x00Fu, 0x0F0u, 0xF00u, 0x0FFu, 0xF0Fu, 0xFF0u, 0x666u, 0x6A9u}) {
      expectBlockAsBruteForce(nearest, c.palette, c.excluded, block, c.name);
    }
    // Each colour of the grid is in a block of its own: a block costs its whole working out.
    for (unsigned r = 1; r < 256; r += 37) {
      for (unsigned g = 0; g < 256; g += 41) {
        for (unsigned b = 2; b < 256; b += 43) {
          ASSERT_EQ(nearestIndex(nearest, r, g, b),
                    nearestByBruteForce(c.palette, c.excluded, r, g, b))
              << c.name << ": " << r << " " << g << " " << b;
        }
      }
    }
  }
}

// Ties where the farther colour's distance comes from one channel alone, the lower index on the
// far side: a search that cuts off at that channel's distance with < instead of <= misses it.
// Each answer is worked out by hand in its comment.
TEST(NearestColours, TiesAtTheEdgeOfTheSearchGoToTheLowestIndex) {
  struct Case {
    const char* name;
    std::vector<std::vector<int>> colours;
    int red, green, blue;
    int expected;
  };
  const Case cases[] = {
      // Both 9 away: index 0 by red alone (3 * 3), index 1 by green alone.
      {"red alone against green alone", {{103, 100, 100}, {100, 103, 100}}, 100, 100, 100, 0},
      {"the same below in red", {{97, 100, 100}, {100, 100, 97}}, 100, 100, 100, 0},
      // The far corner (15, 15, 15) of the first block: (0, 0, 0) is 3 * 225 = 675 away, and
      // that is the nearest any colour's farthest corner of the block is; (30, 30, 30) is 675
      // away too, and its nearest point of the block is that corner.
      {"a block's far corner", {{30, 30, 30}, {0, 0, 0}}, 15, 15, 15, 0},
      // The same across a block's face: (16, 8, 8) is 64 from (24, 8, 8) and from (8, 8, 8).
      {"a block's face", {{24, 8, 8}, {8, 8, 8}}, 16, 8, 8, 0},
      {"a block's face, the far side first", {{8, 8, 8}, {24, 8, 8}}, 16, 8, 8, 0},
      // A box of 4 inside the block: (4, 4, 4) is 3 * 16 = 48 from both.
      // And inside a box of 4, (4..7)^3: (4, 4, 4) is 3 * 16 = 48 from both, 48 is the farthest
      // the box gets from (8, 8, 8), and (0, 0, 0) comes no nearer to the box than that.
      {"a small box's corner", {{0, 0, 0}, {8, 8, 8}}, 4, 4, 4, 0},
  };
  for (const Case& c : cases) {
    const Palette palette = paletteOf(c.colours);
    NearestColours nearest;
    ASSERT_TRUE(prepareNearest(nearest, palette, -1));
    EXPECT_EQ(nearestIndex(nearest, c.red, c.green, c.blue), c.expected) << c.name;
    // An indexed picture's entries are searched one by one, without the memo.
    ImportOptions options;
    options.hasPalette = true;
    options.palette = palette;
    Palette own{};
    own.colourCount = 1;
    own.entries[0][0] = static_cast<unsigned char>(c.blue);
    own.entries[0][1] = static_cast<unsigned char>(c.green);
    own.entries[0][2] = static_cast<unsigned char>(c.red);
    DecodedPicture picture = indexedPicture({0}, own, 1);
    MappingReport report;
    ASSERT_TRUE(mapPicture(picture, options, report).ok()) << c.name;
    EXPECT_EQ(picture.pixels.get()[0], c.expected) << c.name << " (indexed)";
  }
}

TEST(NearestColours, NoColourLeftIsSaid) {
  NearestColours nearest;
  EXPECT_FALSE(prepareNearest(nearest, randomPalette(1, 1), 0));
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

DecodedPicture trueColourPicture(int width, int height, const std::vector<unsigned char>& rgba) {
  DecodedPicture picture;
  picture.width = width;
  picture.height = height;
  picture.indexed = false;
  picture.pixels = allocateBytes(static_cast<std::int64_t>(rgba.size()));
  std::memcpy(picture.pixels.get(), rgba.data(), rgba.size());
  return picture;
}

// The picture of dither_reference.py (beside this file), 8 x 6, with a pixel of alpha 0 at 3, 2
// and one of alpha 128 at 5, 4 when asked for.
std::vector<unsigned char> referencePicture(bool withAlpha) {
  std::vector<unsigned char> rgba;
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool clear = withAlpha && x == 3 && y == 2;
      const bool partly = withAlpha && x == 5 && y == 4;
      rgba.insert(rgba.end(), {static_cast<unsigned char>((x * 40 + y * 13) % 256),
                               static_cast<unsigned char>((x * 7 + y * 45) % 256),
                               static_cast<unsigned char>((x * y * 9 + 60) % 256),
                               static_cast<unsigned char>(clear    ? 0
                                                          : partly ? 128
                                                                   : 255)});
    }
  }
  return rgba;
}

// Floyd-Steinberg against the plain reference in dither_reference.py, whose output the table
// holds: every weight, the error carried (what was wanted less what was got, in sixteenths cut
// toward zero), the edges, and a transparent pixel that passes nothing on. On one thread and on
// several.
TEST(MapPicture, FloydSteinbergIsTheReferencesToTheIndex) {
  struct Case {
    const char* name;
    bool withAlpha;
    int transparentIndex;
    std::vector<unsigned char> expected;
    std::int64_t changed;
    std::uint32_t largest;
  };
  const Case cases[] = {
      {"opaque",
       false,
       -1,
       {0, 0, 2, 0, 2, 2, 2, 0, 0, 4, 3, 2, 4, 2, 2, 4, 3, 3, 2, 4, 2, 1, 4, 3,
        3, 3, 4, 1, 2, 1, 4, 1, 3, 3, 1, 3, 1, 1, 3, 3, 3, 3, 1, 1, 1, 0, 0, 4},
       48,
       41941},
      {"transparent index 1",
       true,
       1,
       {0, 0, 2, 0, 2, 2, 2, 0, 0, 4, 3, 2, 4, 2, 2, 4, 3, 3, 2, 1, 2, 2, 4, 3,
        3, 3, 4, 2, 4, 4, 4, 4, 3, 3, 3, 4, 4, 4, 3, 3, 3, 3, 2, 4, 4, 2, 2, 4},
       47,
       71874},
  };
  const Palette palette =
      paletteOf({{0, 0, 0}, {255, 255, 255}, {200, 40, 40}, {30, 160, 60}, {40, 60, 220}});
  for (const Case& c : cases) {
    for (int threads : {1, 2, 3}) {
      ImportOptions options;
      options.hasPalette = true;
      options.palette = palette;
      options.dither = true;
      options.transparentIndex = c.transparentIndex;
      DecodedPicture picture = trueColourPicture(8, 6, referencePicture(c.withAlpha));
      MappingReport report;
      ASSERT_TRUE(mapPicture(picture, options, report, threads).ok()) << c.name;
      EXPECT_EQ(indicesOf(picture), c.expected) << c.name << " on " << threads << " threads";
      EXPECT_EQ(report.changedPixels, c.changed) << c.name;
      EXPECT_EQ(report.largestDistance2, c.largest) << c.name;
      EXPECT_EQ(report.transparentPixels, c.withAlpha ? 1 : 0) << c.name;
      EXPECT_EQ(report.partlyTransparent, c.withAlpha ? 1 : 0) << c.name;
    }
  }
}

// A photo-like picture with transparent and partly transparent pixels, true colour and indexed,
// plain and dithered: any number of threads gives the bytes and the report of one.
TEST(MapPicture, ThreadsGiveTheSameBytesAsOne) {
  // Rows wider than the lead a dithered row keeps on the one above, so rows overlap.
  constexpr int kWidth = 613;
  constexpr int kHeight = 47;
  std::vector<unsigned char> rgba;
  std::vector<unsigned char> indices;
  std::uint32_t noise = 5;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 3; ++c) {
        noise = noise * 1103515245u + 12345u;
        // Colours of some 100 memo blocks, each of which the search works out whole.
        const int base = c == 0 ? x * 80 / kWidth : c == 1 ? y * 80 / kHeight : (x + y) / 4 + 100;
        rgba.push_back(static_cast<unsigned char>((base + static_cast<int>(noise >> 28)) & 255));
      }
      rgba.push_back(x % 37 == 0 ? 0 : y % 41 == 0 ? 100 : 255);
      indices.push_back(static_cast<unsigned char>((x / 7 + y / 5) % 256));
    }
  }
  Palette own = randomPalette(9, 256);
  for (int i = 0; i < 256; i += 10) own.entries[i][3] = 0;  // alpha 0 in the picture's palette
  for (bool indexed : {false, true}) {
    for (bool dither : {false, true}) {
      for (int transparentIndex : {-1, 6}) {
        ImportOptions options;
        options.hasPalette = true;
        options.palette = randomPalette(21, 200);
        options.dither = dither;
        options.transparentIndex = transparentIndex;
        auto mapped = [&](int threads, MappingReport& report) {
          DecodedPicture picture = indexed ? indexedPicture(indices, own, kWidth)
                                           : trueColourPicture(kWidth, kHeight, rgba);
          if (indexed) {
            for (int i = 0; i < 256; i += 10) picture.palette[i][3] = 0;
          }
          EXPECT_TRUE(mapPicture(picture, options, report, threads).ok());
          return indicesOf(picture);
        };
        MappingReport one;
        const std::vector<unsigned char> expected = mapped(1, one);
        for (int threads : {2, 3, 7}) {
          MappingReport many;
          EXPECT_EQ(mapped(threads, many), expected)
              << indexed << dither << transparentIndex << " on " << threads << " threads";
          EXPECT_EQ(many.changedPixels, one.changedPixels);
          EXPECT_EQ(many.largestDistance2, one.largestDistance2);
          EXPECT_EQ(many.transparentPixels, one.transparentPixels);
          EXPECT_EQ(many.partlyTransparent, one.partlyTransparent);
          EXPECT_EQ(many.alphaIgnored, one.alphaIgnored);
        }
      }
    }
  }
}

// The indices and the report against the plain search pixel by pixel, on pictures whose cells of
// 4 x 4 x 4 colours are mostly settled by one word: a cell with one answer for all its colours
// but one corner, won by another colour outright or by a tie on the lower index; pixels that are
// palette colours (they keep their colour, and the report must not count them); a transparent
// pixel; and runs of pixels none of which is farther than one met before.
TEST(MapPicture, IndicesAndReportAreThePlainSearchs) {
  struct Case {
    const char* name;
    Palette palette;
    int transparentIndex;
  };
  // (1, 1, 1) is nearest to every colour of the cell 0..3 but its corner (3, 3, 3): that is 9
  // from (5, 5, 4) and 12 from (1, 1, 1); (3, 3, 2) is 9 from (1, 1, 1) and 12 from (5, 5, 4).
  // With (5, 5, 5) at index 0 instead, the corner is 12 from both and goes to index 0.
  const Case cases[] = {
      {"a corner won outright", paletteOf({{1, 1, 1}, {5, 5, 4}, {200, 90, 30}}), -1},
      {"a corner won on a tie", paletteOf({{5, 5, 5}, {1, 1, 1}, {200, 90, 30}}), -1},
      {"200 colours, transparent index 6", randomPalette(21, 200), 6},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> rgba;
    auto add = [&](int r, int g, int b, int a) {
      rgba.insert(rgba.end(), {static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                               static_cast<unsigned char>(b), static_cast<unsigned char>(a)});
    };
    for (int at = 0; at < 64; ++at) add(at >> 4, at >> 2 & 3, at & 3, 255);  // the cell 0..3
    std::uint32_t noise = 3;
    for (int i = 0; i < 40000; ++i) {  // a gradient with noise, with one transparent pixel
      int channel[3];
      for (int& value : channel) {
        noise = noise * 1103515245u + 12345u;
        value = (i / 160 + static_cast<int>(noise >> 28)) & 255;
      }
      add(channel[0], channel[1] / 2, 255 - channel[2], i == 777 ? 0 : 255);
    }
    for (int i = 0; i < c.palette.colourCount; i += 3) {  // palette colours, kept as they are,
      // after runs that are far from their answers
      add(c.palette.entries[i][2], c.palette.entries[i][1], c.palette.entries[i][0], 255);
    }
    const int width = 100;
    while (rgba.size() / 4 % width != 0) add(9, 9, 9, 255);
    ImportOptions options;
    options.hasPalette = true;
    options.palette = c.palette;
    options.transparentIndex = c.transparentIndex;
    DecodedPicture picture =
        trueColourPicture(width, static_cast<int>(rgba.size() / 4) / width, rgba);
    MappingReport report;
    ASSERT_TRUE(mapPicture(picture, options, report, 2).ok()) << c.name;
    std::int64_t changed = 0;
    std::uint32_t largest = 0;
    const std::vector<unsigned char> indices = indicesOf(picture);
    for (std::size_t i = 0; i < indices.size(); ++i) {
      const unsigned char* p = &rgba[i * 4];
      if (p[3] == 0 && c.transparentIndex >= 0) {
        EXPECT_EQ(indices[i], c.transparentIndex) << c.name;
        continue;
      }
      const unsigned char expected =
          nearestByBruteForce(c.palette, c.transparentIndex, p[0], p[1], p[2]);
      ASSERT_EQ(indices[i], expected) << c.name << " at " << i;
      const int dr = p[0] - c.palette.entries[expected][2];
      const int dg = p[1] - c.palette.entries[expected][1];
      const int db = p[2] - c.palette.entries[expected][0];
      const std::uint32_t d = static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
      changed += d != 0;
      largest = std::max(largest, d);
    }
    EXPECT_EQ(report.changedPixels, changed) << c.name;
    EXPECT_EQ(report.largestDistance2, largest) << c.name;
  }
}

// Exact colours on several threads: the first pixel the palette lacks, top row first, whichever
// thread met it.
TEST(MapPicture, ExactColoursNameTheFirstPixelOnAnyNumberOfThreads) {
  const Palette palette = paletteOf({{0, 0, 0}, {255, 255, 255}});
  std::vector<unsigned char> rgba(64 * 64 * 4, 255);
  for (int i : {64 * 50 + 3, 64 * 20 + 9, 64 * 40 + 1}) {
    rgba[i * 4] = 7;  // not white any more
  }
  for (int threads : {1, 2, 4}) {
    ImportOptions options;
    options.hasPalette = true;
    options.palette = palette;
    options.exactColours = true;
    DecodedPicture picture = trueColourPicture(64, 64, rgba);
    MappingReport report;
    const ImportOutcome refused = mapPicture(picture, options, report, threads);
    EXPECT_EQ(refused.problem, ImportProblem::kColourNotInPalette);
    EXPECT_EQ(refused.x, 9) << threads;
    EXPECT_EQ(refused.y, 20) << threads;
    EXPECT_EQ(refused.colour, 0x07FFFFu) << threads;
  }
}

// The report's largest distance skips a run of pixels when no cell of the run can be farther from
// its answers than the largest distance met so far; each cell keeps its farthest distance rounded
// up to 64ths, so that the skip never hides a pixel farther than the largest. Pictures of one row
// made of runs, each case's last run farther than anything before it, though by less than 64:
// in a cell of one answer, and in a cell whose colours have two.
TEST(MapPicture, TheLargestDistanceIsNeverUnderstated) {
  struct Run {
    int red, green, blue, pixels;
  };
  struct Case {
    const char* name;
    Palette palette;
    std::vector<Run> runs;
  };
  const Case cases[] = {
      // 64 from black, then 67: the cell of (3, 3, 7) reaches no farther, and 67 is under 2 x 64.
      {"a cell of one answer", paletteOf({{0, 0, 0}}), {{8, 0, 0, 64}, {3, 3, 7, 64}}},
      // (3, 3, 4) is 34 from black and from (0, 0, 8), and goes to black; the cell's farthest.
      {"a cell of two answers", paletteOf({{0, 0, 0}, {0, 0, 8}}), {{3, 3, 4, 64}}},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> rgba;
    for (const Run& run : c.runs) {
      for (int i = 0; i < run.pixels; ++i) {
        rgba.insert(rgba.end(),
                    {static_cast<unsigned char>(run.red), static_cast<unsigned char>(run.green),
                     static_cast<unsigned char>(run.blue), 255});
      }
    }
    std::uint32_t largest = 0;
    std::int64_t changed = 0;
    for (const Run& run : c.runs) {
      const unsigned char* got =
          c.palette.entries[nearestByBruteForce(c.palette, -1, run.red, run.green, run.blue)];
      const int dr = run.red - got[2], dg = run.green - got[1], db = run.blue - got[0];
      const std::uint32_t d = static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
      largest = std::max(largest, d);
      changed += d != 0 ? run.pixels : 0;
    }
    ImportOptions options;
    options.hasPalette = true;
    options.palette = c.palette;
    const int width = static_cast<int>(rgba.size() / 4);
    DecodedPicture picture = trueColourPicture(width, 1, rgba);
    MappingReport report;
    ASSERT_TRUE(mapPicture(picture, options, report, 1).ok()) << c.name;
    EXPECT_EQ(report.largestDistance2, largest) << c.name;
    EXPECT_EQ(report.changedPixels, changed) << c.name;
  }
}

// Counts the threads the mapping starts through the seam, and can refuse them from the nth on as
// a system out of threads does.
struct ThreadWatch {
  static inline int asked = 0;
  static inline int refuseFrom = 0;  // 0: none refused
  static std::thread start(std::function<void()> work) {
    ++asked;
    if (refuseFrom != 0 && asked >= refuseFrom) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return startSystemThread(std::move(work));
  }
  explicit ThreadWatch(int refusing = 0) {
    asked = 0;
    refuseFrom = refusing;
    startThread = &ThreadWatch::start;
  }
  ~ThreadWatch() { startThread = &startSystemThread; }
  ThreadWatch(const ThreadWatch&) = delete;
  ThreadWatch& operator=(const ThreadWatch&) = delete;
};

// A picture large enough to be worth threads: 320 x 240 of noisy gradients.
std::vector<unsigned char> largePicture() {
  std::vector<unsigned char> rgba;
  std::uint32_t noise = 11;
  for (int y = 0; y < 240; ++y) {
    for (int x = 0; x < 320; ++x) {
      noise = noise * 1103515245u + 12345u;
      rgba.insert(rgba.end(), {static_cast<unsigned char>(x * 255 / 319),
                               static_cast<unsigned char>(y + (noise >> 29)),
                               static_cast<unsigned char>(noise >> 24), 255});
    }
  }
  return rgba;
}

struct Mapped {
  std::vector<unsigned char> indices;
  MappingReport report;
};

Mapped mapLarge(const ImportOptions& options, int threads) {
  DecodedPicture picture = trueColourPicture(320, 240, largePicture());
  Mapped mapped;
  EXPECT_TRUE(mapPicture(picture, options, mapped.report, threads).ok());
  mapped.indices = indicesOf(picture);
  return mapped;
}

void expectSame(const Mapped& got, const Mapped& expected, const std::string& name) {
  EXPECT_EQ(got.indices, expected.indices) << name;
  EXPECT_EQ(got.report.changedPixels, expected.report.changedPixels) << name;
  EXPECT_EQ(got.report.largestDistance2, expected.report.largestDistance2) << name;
}

ImportOptions mappingOptions(bool dither) {
  ImportOptions options;
  options.hasPalette = true;
  options.palette = randomPalette(21, 200);
  options.dither = dither;
  return options;
}

// A large picture takes its threads besides the calling one from the budget it is given, at most
// eight in all, and gives them back: a budget with none spare starts no thread at all.
TEST(MapPicture, ThreadsComeFromTheBudgetAndGoBack) {
  struct Case {
    int spare;
    int started;
  };
  const Case cases[] = {{0, 0}, {2, 2}, {20, 7}};
  for (bool dither : {false, true}) {
    ImportOptions options = mappingOptions(dither);
    const Mapped alone = mapLarge(options, 1);
    for (const Case& c : cases) {
      const std::string name =
          std::string(dither ? "dithered" : "plain") + ", spare " + std::to_string(c.spare);
      ThreadBudget budget(c.spare);
      options.threadBudget = &budget;
      ThreadWatch watch;
      expectSame(mapLarge(options, 0), alone, name);
      EXPECT_EQ(ThreadWatch::asked, c.started) << name;
      EXPECT_EQ(budget.spare.load(), c.spare) << name << ": not given back";
    }
  }
}

// A thread that cannot be started leaves its share, and those of the threads after it, to the
// calling thread; a dithered row waits only for rows some running thread has taken, so nothing
// waits for ever, and the answer is the one thread's.
TEST(MapPicture, ThreadsThatCannotStartLeaveTheirWorkToTheCaller) {
  for (bool dither : {false, true}) {
    const ImportOptions options = mappingOptions(dither);
    const Mapped alone = mapLarge(options, 1);
    for (int refusing : {1, 2, 3}) {
      const std::string name =
          std::string(dither ? "dithered" : "plain") + ", refused from " + std::to_string(refusing);
      ThreadWatch watch(refusing);
      expectSame(mapLarge(options, 4), alone, name);
      EXPECT_EQ(ThreadWatch::asked, refusing) << name << ": asked again after a refusal";
    }
  }
}

#ifdef __linux__
// Without a budget, a process held to one processor (as by taskset) maps on one thread, however
// many the machine has. In a child process, whose affinity alone is changed.
TEST(MapPicture, WithoutABudgetAProcessHeldToOneProcessorStartsNoThread) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int first = 0;
  while (!CPU_ISSET(first, &allowed)) ++first;
  const ImportOptions options = mappingOptions(true);
  const Mapped alone = mapLarge(options, 1);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(10);
    if (processorCount() != 1) _exit(11);
    ThreadWatch watch;
    const Mapped mapped = mapLarge(options, 0);
    if (ThreadWatch::asked != 0) _exit(12);
    _exit(mapped.indices == alone.indices ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no affinity set, 11: processors miscounted, 12: a "
                                       "thread started, 13: another answer";
}
#endif

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
