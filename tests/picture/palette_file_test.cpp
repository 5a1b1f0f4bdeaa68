#include "palette_file.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

Bytes text(const std::string& content) { return Bytes(content.begin(), content.end()); }

struct Colour {
  int index, red, green, blue;
};

// Each form, with the colours it must give (entries are blue, green, red, 0).
TEST(ReadPalette, EveryFormFoundFromItsContent) {
  ScratchDirectory directory;
  Bytes table(768);
  for (int i = 0; i < 768; ++i) table[i] = static_cast<unsigned char>((i * 5) % 256);
  Bytes counted = table;
  for (unsigned char byte : {0, 20, 0xFF, 0xFF}) counted.push_back(byte);
  Bytes vga(768, 0);
  vga[3] = 63;
  vga[4] = 32;
  vga[5] = 1;
  // RIFF, 4-byte size, "PAL ", then a "data" chunk: version 0x300, 2 colours of r g b flags.
  Bytes riff = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'P', 'A', 'L', ' ', 'd', 'a', 't', 'a',
                12,  0,   0,   0,   0, 3, 2, 0, 1,   2,   3,   0,   4,   5,   6,   0};
  riff[4] = static_cast<unsigned char>(riff.size() - 8);
  struct Case {
    const char* name;
    Bytes file;
    PaletteForm form;
    int count;
    Colour colour;
    bool sixBits;
  } cases[] = {
      {"jasc-crlf.pal",
       text("JASC-PAL\r\n0100\r\n3\r\n1 2 3\r\n4 5 6\r\n255 0 7\r\n"),
       PaletteForm::kJasc,
       3,
       {2, 255, 0, 7},
       false},
      {"jasc-lf.pal",
       text("JASC-PAL\n0100\n2\n1 2 3\n9 8 7\n"),
       PaletteForm::kJasc,
       2,
       {1, 9, 8, 7},
       false},
      {"gimp.gpl",
       text("GIMP Palette\nName: Ocean\nColumns: 4\n#\n# deep water\n  0\t 10  20\tDeep Blue\n"
            "\n255 255 255 White Foam\n"),
       PaletteForm::kGimp,
       2,
       {1, 255, 255, 255},
       false},
      {"table.act", table, PaletteForm::kColourTable, 256, {1, 15, 20, 25}, false},
      {"counted.act",
       counted,
       PaletteForm::kColourTable,
       20,
       {19, (57 * 5) % 256, (58 * 5) % 256, (59 * 5) % 256},
       false},
      {"vga.pal", vga, PaletteForm::kColourTable, 256, {1, 255, 130, 4}, true},
      {"riff.pal", riff, PaletteForm::kRiff, 2, {1, 4, 5, 6}, false},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(c.name);
    writeFile(path, c.file);
    Palette palette{};
    const PaletteOutcome outcome = readPalette(path.c_str(), palette);
    ASSERT_TRUE(outcome.ok()) << c.name << " " << static_cast<int>(outcome.problem);
    EXPECT_EQ(outcome.form, c.form) << c.name;
    EXPECT_EQ(outcome.sixBitValues, c.sixBits) << c.name;
    EXPECT_EQ(palette.colourCount, c.count) << c.name;
    const unsigned char* entry = palette.entries[c.colour.index];
    EXPECT_EQ(entry[2], c.colour.red) << c.name;
    EXPECT_EQ(entry[1], c.colour.green) << c.name;
    EXPECT_EQ(entry[0], c.colour.blue) << c.name;
    EXPECT_EQ(palette.entries[255][3], 0) << c.name;
  }
}

TEST(ReadPalette, WhatIsNoPaletteIsRefusedAndThePaletteKept) {
  ScratchDirectory directory;
  std::string many = "GIMP Palette\n";
  for (int i = 0; i < 257; ++i) many += "1 2 3\n";
  struct Case {
    const char* name;
    Bytes file;
    PaletteProblem problem;
    long long detail;
  } cases[] = {
      {"empty.gpl", text("GIMP Palette\nName: none\n"), PaletteProblem::kBadColourCount, 0},
      {"many.gpl", text(many), PaletteProblem::kBadColourCount, 257},
      {"jasc-0.pal", text("JASC-PAL\r\n0100\r\n0\r\n"), PaletteProblem::kBadColourCount, 0},
      {"jasc-short.pal", text("JASC-PAL\r\n0100\r\n3\r\n1 2 3\r\n"), PaletteProblem::kBadEntry, 5},
      {"jasc-256.pal", text("JASC-PAL\r\n0100\r\n1\r\n1 256 3\r\n"), PaletteProblem::kBadEntry, 4},
      {"gimp-word.gpl", text("GIMP Palette\nred green blue\n"), PaletteProblem::kBadEntry, 2},
      {"counted-0.act", Bytes(772, 0), PaletteProblem::kBadColourCount, 0},
      {"767.act", Bytes(767, 1), PaletteProblem::kUnknownForm, 0},
      {"empty", Bytes(), PaletteProblem::kUnknownForm, 0},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(c.name);
    writeFile(path, c.file);
    Palette palette{};
    palette.entries[7][1] = 77;
    const PaletteOutcome outcome = readPalette(path.c_str(), palette);
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(outcome.detail, c.detail) << c.name;
    EXPECT_EQ(palette.entries[7][1], 77) << c.name;
  }
}

}  // namespace
