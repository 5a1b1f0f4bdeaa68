#include "command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <vector>

#include "bitmap_writer.h"
#include "import_reasons.h"
#include "write_reasons.h"

namespace {

// Only the reader's own refusal of a pipe or device is worded as one; the system's errors keep
// their own text (Windows gives EINVAL for a name with "?" or "|" in it).
TEST(ImportReason, APipeOrDeviceIsNamedOnlyForTheReadersOwnCode) {
  const ImportOutcome cannotOpen{ImportProblem::kCannotOpen, 0};
  EXPECT_EQ(importReason(cannotOpen, ENXIO),
            "cannot be opened: not a regular file (a pipe or a device)");
  EXPECT_EQ(importReason(cannotOpen, EINVAL),
            std::string("cannot be opened (") + std::strerror(EINVAL) + ")");
  EXPECT_EQ(importReason(cannotOpen, ENOENT),
            std::string("cannot be opened (") + std::strerror(ENOENT) + ")");
}

TEST(ImportReason, EachProblemHasItsOwnWordsAndNewOnesAGeneralText) {
  std::set<std::string> seen;
  for (int kind = static_cast<int>(ImportProblem::kCannotOpen);
       kind <= static_cast<int>(ImportProblem::kPngUndecodable); ++kind) {
    const std::string reason = importReason({static_cast<ImportProblem>(kind), 3});
    EXPECT_TRUE(seen.insert(reason).second) << "said twice: " << reason;
  }
  EXPECT_EQ(importReason({ImportProblem::kUnsupportedBitDepth, 2}),
            "2 bits per pixel is no bitmap depth (1, 4, 8, 16, 24 or 32 are)");
  EXPECT_EQ(importReason({ImportProblem::kNeedsPalette, 24}),
            "a true-colour picture (24 bits per pixel) has no palette indices: give the game's "
            "palette with --palette FILE to map its colours");
  ImportOutcome drifted{ImportProblem::kColourNotInPalette, 0};
  drifted.x = 12;
  drifted.y = 3;
  drifted.colour = 0x0A0B0C;
  EXPECT_EQ(importReason(drifted),
            "the pixel at x 12, y 3 has colour #0A0B0C, which is not in the palette "
            "(--exact-colours refuses any such colour)");
  ImportOutcome pastPalette{ImportProblem::kIndexPastPalette, 15};
  pastPalette.x = 7;
  pastPalette.y = 2;
  pastPalette.colour = 4;
  EXPECT_EQ(importReason(pastPalette),
            "the pixel at 7, 2 has index 15, past the picture's 4-colour palette");
  EXPECT_EQ(importReason({ImportProblem::kUnsupportedHeader, 13}),
            "an information header of 13 bytes is of no bitmap kind (12 bytes, OS/2's first, or 16 "
            "and more)");
  EXPECT_EQ(importReason({ImportProblem::kCannotOpen, 0}, ENOENT),
            "cannot be opened (No such file or directory)");
  const std::string unknown = importReason({static_cast<ImportProblem>(99), 5});
  EXPECT_NE(unknown.find("cannot be used"), std::string::npos) << unknown;
}

PaletteOutcome paletteOutcome(PaletteProblem problem, long long detail, PaletteForm form,
                              long long line = 0) {
  PaletteOutcome outcome{problem, detail, form};
  outcome.line = line;
  return outcome;
}

// The palette reasons that carry figures, each in the words the user reads; sizes are MiB
// rounded up to a tenth: 1 MiB and a byte is 1.1 MiB, never the bound itself.
TEST(PaletteReason, FiguresAreSaidInWordsThatFitThem) {
  PaletteOutcome crc = paletteOutcome(PaletteProblem::kPngRefused, 33, PaletteForm::kPng);
  crc.pngProblem = ImportProblem::kPngBadCrc;
  PaletteOutcome structure = crc;
  structure.pngProblem = ImportProblem::kPngBadStructure;
  PaletteOutcome huge = paletteOutcome(PaletteProblem::kPictureTooLarge, 0, PaletteForm::kPng);
  huge.width = 8192;
  huge.height = 4096;
  const struct {
    PaletteOutcome outcome;
    const char* words;
  } cases[] = {
      {paletteOutcome(PaletteProblem::kTooLarge, (1 << 20) + 1, PaletteForm::kJasc),
       "the palette file is 1.1 MiB; a JASC-PAL palette is at most 1 MiB"},
      {paletteOutcome(PaletteProblem::kTooLarge, 3 << 19, PaletteForm::kGimp),
       "the palette file is 1.5 MiB; a GIMP palette is at most 1 MiB"},
      {paletteOutcome(PaletteProblem::kTooLarge, std::int64_t{1} << 30, PaletteForm::kPng),
       "the palette file is 1024 MiB; a PNG read for its palette is at most 32 MiB"},
      {paletteOutcome(PaletteProblem::kTooManyLines, 5000, PaletteForm::kGimp),
       "the palette file has 5000 lines; a GIMP palette has at most 4096"},
      {paletteOutcome(PaletteProblem::kBadColourCount, 9999, PaletteForm::kUnknown, 3),
       "line 3: the colour count 9999 is not 1 to 256"},
      {paletteOutcome(PaletteProblem::kBadColourCount, kNoColourCount, PaletteForm::kUnknown, 3),
       "line 3 holds no colour count (a whole number from 1 to 256)"},
      {paletteOutcome(PaletteProblem::kBadColourCount, 1, PaletteForm::kUnknown),
       "a palette of 1 colour (1 to 256 can be used)"},
      {paletteOutcome(PaletteProblem::kBadColourCount, 257, PaletteForm::kUnknown),
       "a palette of 257 colours (1 to 256 can be used)"},
      {crc, "the palette file is a damaged PNG: the chunk at byte 33 fails its checksum (CRC)"},
      {structure,
       "the palette file is a damaged PNG, with a bad PNG structure: chunks out of order, of a "
       "wrong size, or unknown critical ones"},
      {huge,
       "the palette file is a picture of 8192 x 4096 pixels; a PNG read for its palette has at "
       "most 16777216 (4096 x 4096)"},
  };
  for (const auto& c : cases) EXPECT_EQ(paletteReason(c.outcome), c.words);
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  int status = runCommandLine(arguments, out, err);
  return {status, out.str(), err.str()};
}

TEST(CommandLine, DoubleDashLetsAFileNameStartWithADash) {
  Outcome dashed = run({"show", "--", "-odd name.z4k"});
  EXPECT_EQ(dashed.status, kExitFailed);
  EXPECT_EQ(dashed.err.rfind("divovod: -odd name.z4k: cannot be opened", 0), 0u) << dashed.err;
  Outcome option = run({"show", "-odd name.z4k"});
  EXPECT_EQ(option.status, kExitUsage);
  EXPECT_EQ(option.err.rfind("divovod: unknown option -odd name.z4k\nusage:", 0), 0u) << option.err;
}

TEST(CommandLine, PositionTakesANegativeNumberAsItsValue) {
  Outcome result = run({"build", "-e", "none-e.bmp", "-t", "none-t.bmp", "-l", "none-l.bmp", "-p",
                        "-2147483648", "-n", "-name-", "-s", "s", "-o", "out.z4k"});
  EXPECT_EQ(result.status, kExitFailed) << result.err;  // the pictures are missing, nothing else
  EXPECT_EQ(result.err,
            "divovod: none-e.bmp: cannot be opened (No such file or directory)\n"
            "divovod: none-t.bmp: cannot be opened (No such file or directory)\n"
            "divovod: none-l.bmp: cannot be opened (No such file or directory)\n");
  EXPECT_EQ(result.out, "");
}

// Three small pictures in a folder of their own, written by the program's own bitmap writer.
class BuildOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/divovod-build-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    const unsigned char pixels[6 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    for (const char* name : {"episode.bmp", "title.bmp", "lowtitle.bmp"}) {
      ASSERT_TRUE(writeBitmapFile(path(name).c_str(), 6, 3, pixels, greyRamp()));
    }
    titleBytes = contents(path("title.bmp"));
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::string path(const std::string& name) const { return folder + "/" + name; }

  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  Outcome build(const std::string& output) const {
    return run({"build", "-e", path("episode.bmp"), "-t", path("title.bmp"), "-l",
                path("lowtitle.bmp"), "-p", "1", "-n", "N", "-s", "s", "-o", output});
  }

  std::string folder;
  std::string titleBytes;
};

// Whatever path names it (the same name, another spelling, a symbolic or a hard link), a picture
// the episode is made from is never replaced by it.
TEST_F(BuildOutput, NeverWritesOverOneOfItsPictures) {
  std::filesystem::create_directory(path("sub"));
  std::filesystem::create_symlink(path("title.bmp"), path("link.bmp"));
  std::filesystem::create_hard_link(path("title.bmp"), path("hard.bmp"));
  for (const std::string& output : {path("title.bmp"), folder + "/./title.bmp",
                                    path("sub/../title.bmp"), path("link.bmp"), path("hard.bmp")}) {
    SCOPED_TRACE(output);
    const Outcome result = build(output);
    EXPECT_EQ(result.status, kExitFailed);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "divovod: " + output + ": is one of the pictures (the title image " +
                              path("title.bmp") + "); it is never written over\n");
    EXPECT_EQ(contents(path("title.bmp")), titleBytes);
  }
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"episode.bmp", "title.bmp", "lowtitle.bmp", "sub",
                                         "link.bmp", "hard.bmp"}))
      << "no temporary file left";
  EXPECT_NE(build(path("episode.bmp")).err.find("(the episode image "), std::string::npos);
}

TEST_F(BuildOutput, AFailedWriteSaysWhatStandsInTheWay) {
  std::filesystem::create_directory(path("folder.z4k"));
  ASSERT_EQ(mkfifo(path("pipe.z4k").c_str(), 0600), 0);
  const struct {
    std::string output;
    std::string reason;
  } cases[] = {
      {path("folder.z4k"), "is a folder; give the name of a file to write"},
      {path("folder.z4k") + "/", "is a folder; give the name of a file to write"},
      {path("pipe.z4k"),
       "is not a regular file (a device, a pipe or a socket); only a file is replaced"},
      {path("missing/out.z4k"), "the folder " + path("missing") + " does not exist"},
      {path("title.bmp/out.z4k"), path("title.bmp") + " is not a folder"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.output);
    const Outcome result = build(row.output);
    EXPECT_EQ(result.status, kExitFailed);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "divovod: " + row.output + ": " + row.reason + "\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(path("folder.z4k")));
  EXPECT_EQ(contents(path("title.bmp")), titleBytes);
}

// The system's error decides once the path itself looks writable (root, who runs this suite in
// CI, is never refused for permission, so the errors are given here as the writer would see them).
TEST_F(BuildOutput, TheSystemsErrorNamesTheRest) {
  EXPECT_EQ(writeReason(path("new.z4k"), EACCES),
            "permission denied: no new file can be made in the folder " + folder);
  EXPECT_EQ(writeReason(path("new.z4k"), ENOSPC),
            std::string("cannot be written (") + std::strerror(ENOSPC) + ")");
  EXPECT_EQ(writeReason(path("new.z4k"), 0), "cannot be written");
  std::filesystem::permissions(path("title.bmp"), std::filesystem::perms::owner_read);
  EXPECT_EQ(writeReason(path("title.bmp"), 0), "is read-only");
}

// Two episode files of the fixture's pictures whose 8 x 6 titles differ at the given places.
class DiffOfTitles : public BuildOutput {
 protected:
  struct Place {
    int x, y;
  };

  void writeTitles(const std::vector<Place>& changed) {
    unsigned char before[8 * 6];
    for (int i = 0; i < 8 * 6; ++i) before[i] = static_cast<unsigned char>(i);
    unsigned char after[8 * 6];
    std::memcpy(after, before, sizeof after);
    for (const Place& place : changed) after[place.y * 8 + place.x] ^= 0x80;
    ASSERT_TRUE(writeBitmapFile(path("title.bmp").c_str(), 8, 6, before, greyRamp()));
    ASSERT_EQ(build(path("a.z4k")).status, kExitDone);
    ASSERT_TRUE(writeBitmapFile(path("title.bmp").c_str(), 8, 6, after, greyRamp()));
    ASSERT_EQ(build(path("b.z4k")).status, kExitDone);
  }

  Outcome diff(const std::string& titleSize) const {
    return run({"diff", "--title-size", titleSize, path("a.z4k"), path("b.z4k")});
  }
};

// The box holds every changed pixel, whichever row holds the leftmost or rightmost one: a box
// taken from the first and last changed pixels, or from one row, is wrong for all but the last.
TEST_F(DiffOfTitles, TheBoxOfChangedPixelsHoldsThemAll) {
  const struct {
    const char* name;
    std::vector<Place> changed;
    std::string box;
  } cases[] = {
      {"an L whose foot points left",
       {{5, 1}, {5, 2}, {5, 3}, {2, 4}, {3, 4}, {4, 4}, {5, 4}},
       "7 of 48 pixels differ, within x 2..5, y 1..4"},
      {"the leftmost in a middle row",
       {{4, 1}, {1, 3}, {6, 5}},
       "3 of 48 pixels differ, within x 1..6, y 1..5"},
      {"the corners", {{0, 0}, {7, 5}}, "2 of 48 pixels differ, within x 0..7, y 0..5"},
      {"one pixel", {{7, 2}}, "1 of 48 pixels differ, within x 7..7, y 2..2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeTitles(c.changed);
    const Outcome result = diff("8x6");
    EXPECT_EQ(result.status, kExitFailed) << result.err;
    EXPECT_EQ(result.out,
              "episode image: same\ntitle image: " + c.box + "\nlowtitle image: same\n");
  }
}

// A --title-size whose pixel count is not the title's is refused, as show and extract refuse it;
// the stored size of the same count is the guess without one.
TEST_F(DiffOfTitles, ATitleSizeOfTheWrongCountIsRefused) {
  writeTitles({{1, 1}});
  const Outcome wrong = diff("7x7");
  EXPECT_EQ(wrong.status, kExitUsage);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err, "divovod: " + path("a.z4k") +
                           ": --title-size 7x7 is 49 pixels, but the title picture holds 48\n");
  EXPECT_EQ(diff("6x8").out,
            "episode image: same\ntitle image: 1 of 48 pixels differ, within x 3..3, y 1..1\n"
            "lowtitle image: same\n")
      << "a size of the right count is the one the box is taken by";
}

}  // namespace
