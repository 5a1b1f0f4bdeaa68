#include "preview.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

// A palette whose entry i is the colour (i, 2i, 255 - i), stored blue, green, red.
Palette rampPalette() {
  Palette palette{};
  for (int i = 0; i < 256; ++i) {
    palette.entries[i][0] = static_cast<unsigned char>(255 - i);
    palette.entries[i][1] = static_cast<unsigned char>(2 * i);
    palette.entries[i][2] = static_cast<unsigned char>(i);
  }
  return palette;
}

struct Cell {
  std::string sgr;   // the parameters of the cell's colour sequence
  std::string text;  // the half block or two spaces
};

// Splits drawn text into lines of cells; each line must end with the reset and a line feed.
std::vector<std::vector<Cell>> cellsOf(const std::string& drawn) {
  std::vector<std::vector<Cell>> lines;
  const std::regex cell("\x1b\\[([0-9;]*)m(\xE2\x96\x80|  )");
  std::size_t start = 0;
  while (start < drawn.size()) {
    const std::size_t end = drawn.find("\x1b[0m\n", start);
    EXPECT_NE(end, std::string::npos) << "a line without its reset";
    if (end == std::string::npos) break;
    const std::string line = drawn.substr(start, end - start);
    std::vector<Cell> cells;
    std::size_t matched = 0;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), cell);
         it != std::sregex_iterator(); ++it) {
      EXPECT_EQ(static_cast<std::size_t>(it->position()), matched) << "text between cells";
      matched = it->position() + it->length();
      cells.push_back({(*it)[1], (*it)[2]});
    }
    EXPECT_EQ(matched, line.size()) << "text after the last cell";
    lines.push_back(cells);
    start = end + 5;
  }
  return lines;
}

std::string trueColours(const Palette& palette, int upper, int lower) {
  auto rgb = [&](int i) {
    const unsigned char* e = palette.entries[i];
    return std::to_string(e[2]) + ";" + std::to_string(e[1]) + ";" + std::to_string(e[0]);
  };
  return "38;2;" + rgb(upper) + (lower < 0 ? ";49" : ";48;2;" + rgb(lower));
}

TEST(Preview, NearestXtermColourOfTheCubeAndGreysLowestNumberOnTies) {
  struct Case {
    int red, green, blue, number;
  };
  // Worked out apart from the program: cube levels 0 95 135 175 215 255, greys 8 + 10k.
  const Case cases[] = {
      {0, 0, 0, 16},
      {255, 255, 255, 231},
      {8, 8, 8, 232},
      {238, 238, 238, 255},
      {95, 0, 0, 52},
      {255, 0, 0, 196},
      {128, 128, 128, 244},
      {100, 150, 200, 68},
      {47, 47, 47, 236},
      {1, 2, 3, 16},
      // Ties: (4,4,4) is as near black (16) as grey 8 (232); 13 lies between greys 8 and 18.
      {4, 4, 4, 16},
      {13, 13, 13, 232},
      {233, 233, 233, 254},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nearestXtermColour(c.red, c.green, c.blue), c.number)
        << c.red << "," << c.green << "," << c.blue;
  }
}

TEST(Preview, EachCellIsTheUpperAndLowerPixelInTrueColourAnOddLastRowKeepsTheBackground) {
  const Palette palette = rampPalette();
  // 3 x 3: rows 0 and 1 share the first line, row 2 is alone on the second.
  const unsigned char pixels[9] = {1, 2, 3, 40, 50, 60, 200, 7, 255};
  const std::string drawn = renderPreview(pixels, 3, 3, palette, {true, true}, 80);
  const auto lines = cellsOf(drawn);
  ASSERT_EQ(lines.size(), 2u) << drawn;
  ASSERT_EQ(lines[0].size(), 3u);
  ASSERT_EQ(lines[1].size(), 3u);
  for (int x = 0; x < 3; ++x) {
    EXPECT_EQ(lines[0][x].sgr, trueColours(palette, pixels[x], pixels[3 + x])) << x;
    EXPECT_EQ(lines[0][x].text, "\xE2\x96\x80");
    EXPECT_EQ(lines[1][x].sgr, trueColours(palette, pixels[6 + x], -1)) << x;
  }
}

TEST(Preview, XtermColoursAreTheNearestOfEachPaletteEntry) {
  const Palette palette = rampPalette();
  const unsigned char pixels[4] = {0, 255, 128, 64};
  const auto lines = cellsOf(renderPreview(pixels, 2, 2, palette, {false, true}, 80));
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_EQ(lines[0].size(), 2u);
  // (0,0,255) -> 21; (255,510 mod 256 = 254,0) -> 226; (128,0,127) -> 90; (64,128,191) -> 67.
  EXPECT_EQ(lines[0][0].sgr, "38;5;21;48;5;90");
  EXPECT_EQ(lines[0][1].sgr, "38;5;226;48;5;67");
}

TEST(Preview, OutsideUtf8EachPixelIsTwoSpacesOnItsOwnLine) {
  const Palette palette = rampPalette();
  const unsigned char pixels[6] = {10, 20, 30, 40, 50, 60};
  const auto lines = cellsOf(renderPreview(pixels, 3, 2, palette, {true, false}, 80));
  ASSERT_EQ(lines.size(), 2u);
  for (int y = 0; y < 2; ++y) {
    ASSERT_EQ(lines[y].size(), 3u);
    for (int x = 0; x < 3; ++x) {
      const unsigned char* e = palette.entries[pixels[y * 3 + x]];
      EXPECT_EQ(lines[y][x].sgr, "48;2;" + std::to_string(e[2]) + ";" + std::to_string(e[1]) + ";" +
                                     std::to_string(e[0]));
      EXPECT_EQ(lines[y][x].text, "  ");
    }
  }
}

TEST(Preview, AWidePictureIsCutByOneWholeStepBothWays) {
  struct Case {
    std::int64_t width, columns;
    bool halfBlocks;
    std::int64_t step;
  };
  const Case cases[] = {{80, 80, true, 1},  {81, 80, true, 2},  {160, 80, true, 2},
                        {161, 80, true, 3}, {40, 80, false, 1}, {41, 80, false, 2},
                        {10, 9, false, 3},  {5, 1, false, 5},   {1, 1, true, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(previewStep(c.width, c.columns, c.halfBlocks), c.step)
        << c.width << " in " << c.columns << (c.halfBlocks ? " half blocks" : " spaces");
  }
  // 10 x 7 in 4 columns: step 3 keeps columns 0 3 6 9 and rows 0 3 6 (the last alone).
  const Palette palette = rampPalette();
  std::vector<unsigned char> pixels(70);
  for (int i = 0; i < 70; ++i) pixels[i] = static_cast<unsigned char>(i);
  const auto lines = cellsOf(renderPreview(pixels.data(), 10, 7, palette, {true, true}, 4));
  ASSERT_EQ(lines.size(), 2u);
  for (int x = 0; x < 4; ++x) {
    ASSERT_EQ(lines[0].size(), 4u);
    EXPECT_EQ(lines[0][x].sgr, trueColours(palette, 3 * x, 30 + 3 * x)) << x;
    EXPECT_EQ(lines[1][x].sgr, trueColours(palette, 60 + 3 * x, -1)) << x;
  }
}

TEST(Preview, PixelsFedInAnyBlocksDrawTheSameAsAllAtOnce) {
  const Palette palette = rampPalette();
  std::vector<unsigned char> pixels(37 * 11);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7);
  for (std::int64_t columns : {80, 12, 5}) {
    const std::string whole = renderPreview(pixels.data(), 37, 11, palette, {false, true}, columns);
    for (std::size_t block : {1u, 5u, 37u, 100u}) {
      PreviewSampler sampler = startPreview(37, 11, columns, palette, {false, true});
      std::string lines;
      for (std::size_t at = 0; at < pixels.size(); at += block) {
        feedPreview(sampler, pixels.data() + at, std::min(block, pixels.size() - at), lines);
      }
      finishPreview(sampler, lines);
      EXPECT_EQ(lines, whole) << "blocks of " << block << " in " << columns << " columns";
    }
  }
}

}  // namespace

#include "episode_report.h"

namespace {

TEST(StoredText, ControlsAndBytesThatAreNotUtf8AreEscapedNeverReplaced) {
  struct Case {
    std::string stored, terminal, json;
  };
  const Case cases[] = {
      {"Caves", "Caves", "Caves"},
      {"Ch\xC3\xA2teau", "Ch\xC3\xA2teau", "Ch\xC3\xA2teau"},  // UTF-8 kept
      {"Ch\xE2teau", "Ch\\xE2teau", "Ch\\xE2teau"},            // code page 1252
      {"a\x9B"
       "2J",
       "a\\x9B2J", "a\\x9B2J"},  // a lone C1 byte (CSI)
      {"a\xC2\x9B"
       "b",
       "a\\xC2\\x9Bb",
       "a\xC2\x9B"
       "b"},                                  // C1 as a UTF-8 character
      {"\x1b[31m", "\\x1B[31m", "\x1b[31m"},  // JSON escapes it itself
      {"back\\slash", "back\\x5Cslash", "back\\slash"},
      {"\xC0\xAF", "\\xC0\\xAF", "\\xC0\\xAF"},                // overlong form of '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80", "\\xED\\xA0\\x80"},  // a surrogate
      {"cut \xE2\x82", "cut \\xE2\\x82", "cut \\xE2\\x82"},    // a sequence cut short
      {"\xF0\x9F\x8F\xB0", "\xF0\x9F\x8F\xB0", "\xF0\x9F\x8F\xB0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(terminalText(c.stored), c.terminal);
    EXPECT_EQ(jsonText(c.stored), c.json);
    // A line of the program's own, which names files, escapes the same but keeps a backslash:
    // C:\mods\caves.z4k is printed as typed.
    std::string message = c.terminal;
    for (std::size_t at = message.find("\\x5C"); at != std::string::npos;
         at = message.find("\\x5C", at + 1)) {
      message.replace(at, 4, "\\");
    }
    EXPECT_EQ(messageText(c.stored), message) << c.stored;
  }
}

}  // namespace
