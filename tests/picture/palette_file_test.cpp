#include "palette_file.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "picture_import.h"
#include "test_support.h"

namespace {

Bytes text(const std::string& content) { return Bytes(content.begin(), content.end()); }

const char kMark[] = "\xEF\xBB\xBF";  // UTF-8's byte order mark

// A PNG as its chunks, so that one can be changed and the file written with sound checksums.
using Chunks = std::vector<std::pair<std::string, Bytes>>;

Bytes pngFile(const Chunks& chunks) {
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const auto& [type, data] : chunks) putChunk(file, type.c_str(), data);
  return file;
}

// Rows of filter byte 0 and bytes 0, one byte a pixel of 8-bit indices.
Bytes zeroRows(std::uint32_t width, std::uint32_t height) {
  const Bytes rows(std::size_t{height} * (1 + width), 0);
  Bytes packed(compressBound(static_cast<uLong>(rows.size())));
  uLongf packedSize = static_cast<uLongf>(packed.size());
  compress(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()));
  packed.resize(packedSize);
  return packed;
}

// An indexed picture of 8 bits whose palette is `plte` (red, green, blue each).
Chunks indexedPng(std::uint32_t width, std::uint32_t height, const Bytes& plte) {
  return {{"IHDR", pngHeader(width, height, 8, 3)},
          {"PLTE", plte},
          {"IDAT", zeroRows(width, height)},
          {"IEND", {}}};
}

const Bytes kThreeColours = {10, 20, 30, 40, 50, 60, 70, 80, 90};

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
  // A colour table may start with the letters of a bitmap: its first colour is 66, 77, 10.
  Bytes tableLikeABitmap = table;
  tableLikeABitmap[0] = 'B';
  tableLikeABitmap[1] = 'M';
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
      {"bm.act", tableLikeABitmap, PaletteForm::kColourTable, 256, {0, 66, 77, 10}, false},
      {"jasc-marked.pal",
       text(std::string(kMark) + "JASC-PAL\r\n0100\r\n1\r\n7 8 9\r\n"),
       PaletteForm::kJasc,
       1,
       {0, 7, 8, 9},
       false},
      {"gimp-marked-crlf.gpl",
       text(std::string(kMark) + "GIMP Palette\r\nName: x\r\n1 2 3\r\n4 5 6 Sand\r\n"),
       PaletteForm::kGimp,
       2,
       {1, 4, 5, 6},
       false},
      {"indexed.png",
       pngFile(indexedPng(3, 2, kThreeColours)),
       PaletteForm::kPng,
       3,
       {2, 70, 80, 90},
       false},
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
  Chunks plte5 = indexedPng(3, 2, kThreeColours);
  plte5[1].second.resize(5);
  Chunks plte0 = plte5;
  plte0[1].second.clear();
  // Not indexed, though it suggests a palette: its pixels are no indices into it.
  const Chunks rgb = {{"IHDR", pngHeader(1, 1, 8, 2)},
                      {"PLTE", kThreeColours},
                      {"IDAT", zeroRows(3, 1)},  // one pixel of three bytes
                      {"IEND", {}}};
  // The PNG signature decides: 768 bytes after it are no colour table.
  Bytes signatureAndTable = pngFile({});
  signatureAndTable.resize(768, 0);
  struct Case {
    const char* name;
    Bytes file;
    PaletteProblem problem;
    long long detail;
    long long line = 0;
    ImportProblem png = ImportProblem::kNone;
  } cases[] = {
      {"empty.gpl", text("GIMP Palette\nName: none\n"), PaletteProblem::kBadColourCount, 0},
      {"many.gpl", text(many), PaletteProblem::kBadColourCount, 257},
      {"jasc-0.pal", text("JASC-PAL\r\n0100\r\n0\r\n"), PaletteProblem::kBadColourCount, 0, 3},
      {"jasc-9999.pal", text("JASC-PAL\r\n0100\r\n9999\r\n1 2 3\r\n"),
       PaletteProblem::kBadColourCount, 9999, 3},
      {"jasc-word.pal", text("JASC-PAL\r\n0100\r\nmany\r\n"), PaletteProblem::kBadColourCount,
       kNoColourCount, 3},
      {"jasc-no-count.pal", text("JASC-PAL\r\n0100\r\n"), PaletteProblem::kBadColourCount,
       kNoColourCount, 3},
      {"jasc-short.pal", text("JASC-PAL\r\n0100\r\n3\r\n1 2 3\r\n"), PaletteProblem::kBadEntry, 5},
      {"jasc-256.pal", text("JASC-PAL\r\n0100\r\n1\r\n1 256 3\r\n"), PaletteProblem::kBadEntry, 4},
      {"gimp-word.gpl", text("GIMP Palette\nred green blue\n"), PaletteProblem::kBadEntry, 2},
      {"counted-0.act", Bytes(772, 0), PaletteProblem::kBadColourCount, 0},
      {"767.act", Bytes(767, 1), PaletteProblem::kUnknownForm, 0},
      {"empty", Bytes(), PaletteProblem::kUnknownForm, 0},
      {"plte-5.png", pngFile(plte5), PaletteProblem::kPngRefused, 0, 0,
       ImportProblem::kPngBadStructure},
      {"plte-0.png", pngFile(plte0), PaletteProblem::kPngRefused, 0, 0,
       ImportProblem::kPngBadStructure},
      {"rgb.png", pngFile(rgb), PaletteProblem::kPngWithoutPalette, 0},
      {"signature.act", signatureAndTable, PaletteProblem::kPngRefused, 0, 0,
       ImportProblem::kPngBadStructure},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(c.name);
    writeFile(path, c.file);
    Palette palette{};
    palette.entries[7][1] = 77;
    const PaletteOutcome outcome = readPalette(path.c_str(), palette);
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(outcome.detail, c.detail) << c.name;
    EXPECT_EQ(outcome.line, c.line) << c.name;
    EXPECT_EQ(outcome.pngProblem, c.png) << c.name;
    EXPECT_EQ(palette.entries[7][1], 77) << c.name;
  }
}

// Each file is refused from its first bytes and its size alone when it is past the bound of its
// form (a sparse gigabyte costs what a small file does), and read whole when at the bound.
TEST(ReadPalette, EachFormIsReadWithinItsBound) {
  ScratchDirectory directory;
  const std::int64_t gigabyte = std::int64_t{1} << 30;
  const std::string atTheBound = "JASC-PAL\n0100\n1\n1 2 3";
  std::string comments(4094 * 2, '#');
  for (std::size_t i = 1; i < comments.size(); i += 2) comments[i] = '\n';
  struct Case {
    const char* name;
    std::string start;
    std::int64_t size;  // the file's size: past `start`, zero bytes written by growing the file
    PaletteProblem problem;
    long long detail;
    PaletteForm form;
  } cases[] = {
      {"sparse.pal", "JASC-PAL\r\n0100\r\n", gigabyte, PaletteProblem::kTooLarge, gigabyte,
       PaletteForm::kJasc},
      {"sparse.png", "\x89PNG\r\n\x1A\n", gigabyte, PaletteProblem::kTooLarge, gigabyte,
       PaletteForm::kPng},
      {"sparse.bmp", "BM", gigabyte, PaletteProblem::kTooLarge, gigabyte, PaletteForm::kBitmap},
      {"sparse.bin", "", gigabyte, PaletteProblem::kUnknownForm, 0, PaletteForm::kUnknown},
      {"2-mib.gpl", std::string(kMark) + "GIMP Palette\n", 2 << 20, PaletteProblem::kTooLarge,
       2 << 20, PaletteForm::kGimp},
      {"past-1-mib.pal", std::string("RIFF\0\0\0\0PAL ", 12), (1 << 20) + 1,
       PaletteProblem::kTooLarge, (1 << 20) + 1, PaletteForm::kRiff},
      // Blanks after the one colour fill it to 1 MiB exactly.
      {"1-mib.pal", atTheBound + std::string((1 << 20) - atTheBound.size(), ' '), 1 << 20,
       PaletteProblem::kNone, 0, PaletteForm::kJasc},
      // The first line, 4094 comments and a colour: 4096 lines; a comment more is one too many.
      {"4096-lines.gpl", "GIMP Palette\n" + comments + "1 2 3\n", 0, PaletteProblem::kNone, 0,
       PaletteForm::kGimp},
      {"4097-lines.gpl", "GIMP Palette\n#\n" + comments + "1 2 3\n", 0,
       PaletteProblem::kTooManyLines, 4097, PaletteForm::kGimp},
      // Four lines, then 4093 empty ones.
      {"4097-lines.pal", "JASC-PAL\n0100\n1\n1 2 3\n" + std::string(4093, '\n'), 0,
       PaletteProblem::kTooManyLines, 4097, PaletteForm::kJasc},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(c.name);
    writeFile(path, text(c.start));
    if (c.size != 0) std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.size));
    Palette palette{};
    const auto began = std::chrono::steady_clock::now();
    const PaletteOutcome outcome = readPalette(path.c_str(), palette);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(outcome.detail, c.detail) << c.name;
    EXPECT_EQ(outcome.form, c.form) << c.name;
    EXPECT_LT(took.count(), 1.0) << c.name;
  }
}

// A picture of the game's size serves as its palette; a header claiming more is refused before
// anything is inflated; a million empty chunks are walked once, as for a picture.
TEST(ReadPalette, PngPaletteFilesWithinThePictureBounds) {
  ScratchDirectory directory;
  Chunks crowded = indexedPng(3, 2, kThreeColours);
  crowded.insert(crowded.begin() + 2, 1000000, {"teSt", {}});
  Chunks crowdedFirst = indexedPng(3, 2, kThreeColours);
  crowdedFirst.insert(crowdedFirst.begin(), 1000000, {"teSt", {}});
  // The largest sizes a header can hold, whose product overflows a signed 64-bit count.
  Chunks claim = indexedPng(1, 1, kThreeColours);
  claim[0].second = pngHeader(0xFFFFFFFF, 0xFFFFFFFF, 8, 3);
  struct Case {
    const char* name;
    Chunks chunks;
    PaletteProblem problem;
    ImportProblem png;
    double seconds;
    std::uint32_t width = 0;  // kPictureTooLarge: the size claimed
    std::uint32_t height = 0;
  } cases[] = {
      {"game-size.png", indexedPng(4096, 4096, kThreeColours), PaletteProblem::kNone,
       ImportProblem::kNone, 5},
      {"one-row-more.png", indexedPng(4096, 4097, kThreeColours), PaletteProblem::kPictureTooLarge,
       ImportProblem::kNone, 0.5, 4096, 4097},
      {"claim.png", claim, PaletteProblem::kPictureTooLarge, ImportProblem::kNone, 0.5, 0xFFFFFFFF,
       0xFFFFFFFF},
      {"crowded.png", crowded, PaletteProblem::kNone, ImportProblem::kNone, 5},
      {"crowded-before-header.png", crowdedFirst, PaletteProblem::kPngRefused,
       ImportProblem::kPngBadStructure, 0.5},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(c.name);
    writeFile(path, pngFile(c.chunks));
    Palette palette{};
    const auto began = std::chrono::steady_clock::now();
    const PaletteOutcome outcome = readPalette(path.c_str(), palette);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(outcome.pngProblem, c.png) << c.name;
    EXPECT_LT(took.count(), c.seconds) << c.name;
    EXPECT_EQ(outcome.width, c.width) << c.name;
    EXPECT_EQ(outcome.height, c.height) << c.name;
    if (outcome.ok()) {
      EXPECT_EQ(palette.colourCount, 3) << c.name;
      EXPECT_EQ(palette.entries[1][2], 40) << c.name;
    }
  }
}

// The picture checks' verdict on a PNG is the palette reader's: a few hundred changes to a
// sound indexed PNG (each chunk's bytes, type letters, order, cut at every length), each read
// as a picture and as a palette file.
std::vector<Bytes> changedPngs() {
  const Bytes rows = {0, 1, 2, 0, 2, 1, 0, 0, 1, 0, 1, 2};  // 3 x 3 at 8 bits, filter 0
  Bytes packed(64);
  uLongf packedSize = static_cast<uLongf>(packed.size());
  compress(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()));
  packed.resize(packedSize);
  const Chunks sound = {{"IHDR", pngHeader(3, 3, 8, 3)},
                        {"PLTE", kThreeColours},
                        {"tRNS", {0}},
                        {"tEXt", text("Title\0x")},
                        {"IDAT", Bytes(packed.begin(), packed.begin() + 5)},
                        {"IDAT", Bytes(packed.begin() + 5, packed.end())},
                        {"IEND", {}}};
  std::vector<Bytes> files = {pngFile(sound)};
  for (std::size_t c = 0; c < sound.size(); ++c) {
    for (std::size_t i = 0; i < sound[c].second.size(); ++i) {
      Chunks changed = sound;
      changed[c].second[i] ^= 0x55;
      files.push_back(pngFile(changed));
    }
    for (std::size_t i = 0; i < 4; ++i) {
      Chunks changed = sound;
      changed[c].first[i] ^= 0x20;  // a letter's case: critical or not, and unknown types
      files.push_back(pngFile(changed));
    }
    Chunks dropped = sound;
    dropped.erase(dropped.begin() + static_cast<std::ptrdiff_t>(c));
    files.push_back(pngFile(dropped));
    Chunks doubled = sound;
    doubled.insert(doubled.begin() + static_cast<std::ptrdiff_t>(c), sound[c]);
    files.push_back(pngFile(doubled));
    if (c + 1 < sound.size()) {
      Chunks swapped = sound;
      std::swap(swapped[c], swapped[c + 1]);
      files.push_back(pngFile(swapped));
    }
  }
  const Bytes whole = pngFile(sound);
  for (std::size_t length = 8; length < whole.size(); ++length) {
    files.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    Bytes flipped = whole;
    flipped[length] ^= 0x01;  // every byte once, checksums left as they were
    files.push_back(flipped);
  }
  return files;
}

TEST(ReadPalette, APngRefusedAsAPictureIsRefusedAsAPaletteFileForTheSameFault) {
  ScratchDirectory directory;
  const std::string path = directory.path("changed.png");
  std::set<ImportProblem> faults;
  int accepted = 0;
  for (const Bytes& file : changedPngs()) {
    writeFile(path, file);
    ImportedImage image{};
    const ImportOutcome picture = importPicture(path.c_str(), ImportOptions{}, image);
    releaseImportedImage(image);
    Palette palette{};
    const PaletteOutcome read = readPalette(path.c_str(), palette);
    if (picture.ok()) {
      ++accepted;
      EXPECT_TRUE(read.ok()) << static_cast<int>(read.problem);
      EXPECT_EQ(read.form, PaletteForm::kPng);
      continue;
    }
    faults.insert(picture.problem);
    ASSERT_FALSE(read.ok()) << "a picture refused for " << static_cast<int>(picture.problem);
    if (picture.problem == ImportProblem::kNeedsPalette) {
      EXPECT_EQ(read.problem, PaletteProblem::kPngWithoutPalette);
    } else if (read.problem != PaletteProblem::kPictureTooLarge) {
      EXPECT_EQ(read.problem, PaletteProblem::kPngRefused);
      EXPECT_EQ(read.pngProblem, picture.problem);
      EXPECT_EQ(read.detail, picture.detail);
    }
  }
  // The changes reach far into the checks: sound files, and refusals of many kinds.
  EXPECT_GT(accepted, 0);
  EXPECT_GE(faults.size(), 7u);
}

}  // namespace
