#include "manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toml_shape.h"

namespace {

// The seven keys every episode needs, for cases that add or change one.
const std::string kWhole =
    "output = \"caves.z4k\"\n"
    "position = 5\n"
    "name = \"Caves\"\n"
    "start_level = \"caves1.lev\"\n"
    "episode_image = \"ep.bmp\"\n"
    "title_image = \"title.png\"\n"
    "lowtitle_image = \"low.bmp\"\n";

// kWhole with the line of `key` put in place of its own.
std::string withLine(const std::string& key, const std::string& line) {
  std::string text = kWhole;
  const std::size_t at = text.find(key + " = ");
  text.replace(at, text.find('\n', at) - at, line);
  return text;
}

struct RefusedCase {
  const char* what;
  std::string text;
  int line;
  int column;
  const char* message;  // the start of it
};

TEST(Manifest, EveryRefusalNamesItsLineAndColumn) {
  const std::string longName(128, 'n');
  std::string deep = "x = ";  // one bracket a line: a line longer than 128 bytes holds one value
  for (int i = 0; i < 65; ++i) deep += "[\n";
  deep += std::string(65, ']') + "\n";
  const RefusedCase cases[] = {
      {"a typo", kWhole + "  postion = 3\n", 8, 3,
       "unknown key 'postion'; did you mean 'position'?"},
      {"a key nothing is like", kWhole + "colours = 3\n", 8, 1,
       "unknown key 'colours' (an episode has output,"},
      {"a key unknown in an episode table", "[[episode]]\n" + kWhole + "dithr = true\n", 9, 1,
       "unknown key 'dithr'; did you mean 'dither'?"},
      {"a number as a string", "output = \"a\"\nposition = \"3\"\n", 2, 12,
       "position must be a whole number, not a string"},
      {"a flag as a string", kWhole + "dither = \"yes\"\n", 8, 10,
       "dither must be true or false, not a string"},
      {"a path as a number", "output = 7\n", 1, 10, "output must be a string, not a whole number"},
      {"an empty output", "output = \"\"\n", 1, 10, "output is empty"},
      {"a missing key",
       "output = \"a\"\nposition = 1\nname = \"n\"\nstart_level = \"s\"\n"
       "episode_image = \"e\"\ntitle_image = \"t\"\n",
       1, 1, "the episode has no lowtitle_image"},
      {"a missing key in the second episode",
       "[[episode]]\n" + kWhole + "\n[[episode]]\noutput = \"b\"\n", 10, 1,
       "the episode has no position"},
      {"a position past 32 bits", withLine("position", "position = 2147483648"), 2, 12,
       "position must lie between -2147483648 and 2147483647, not 2147483648"},
      {"a name one byte too long", withLine("name", "name = \"" + longName + "\""), 3, 8,
       "name is 128 bytes long; the episode file keeps at most 127 bytes"},
      {"a table where a key goes", kWhole + "[x]\n", 8, 1, "unknown key 'x'"},
      {"a title size that is no size", kWhole + "title_size = \"320\"\n", 8, 14,
       "title_size needs WIDTHxHEIGHT, for example 320x200, not '320'"},
      {"a transparent index past 255", kWhole + "transparent_index = 256\n", 8, 21,
       "transparent_index must lie between 0 and 255, not 256"},
      {"TOML that is not", "output = = 1\n", 1, 10, "not valid TOML: "},
      {"a key given twice", "output = \"a\"\noutput = \"b\"\n", 2, 10, "not valid TOML: "},
      {"nesting past the bound", deep, 65, 1,
       "tables, arrays and dotted keys nest more than 64 deep"},
      {"episode as a number", "episode = 3\n", 1, 11, "episode must be tables written [[episode]]"},
      {"no episode at all", "episode = []\n", 1, 11, "the manifest lists no episode"},
  };
  for (const RefusedCase& refused : cases) {
    SCOPED_TRACE(refused.what);
    std::vector<EpisodeRecipe> recipes(1);
    ProjectProblem problem;
    EXPECT_FALSE(parseManifest(refused.text, "mod/m.toml", recipes, problem));
    EXPECT_EQ(problem.file, "mod/m.toml");
    EXPECT_EQ(problem.line, refused.line) << problem.message;
    EXPECT_EQ(problem.column, refused.column) << problem.message;
    EXPECT_EQ(problem.message.rfind(refused.message, 0), 0u) << problem.message;
    EXPECT_EQ(recipes.size(), 1u) << "a refusal leaves the list as it was";
  }
}

// Each bound of the shape the parser is given, just past it, refused at the key, header or
// element that passes it; the same text one short of the bound is read.
TEST(Manifest, ShapesPastTheParsersBoundsAreRefusedWhereTheyPassThem) {
  const auto times = [](std::size_t count, const std::string& piece) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
  };
  const auto keys = [](std::size_t count, const std::string& prefix) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += prefix + std::to_string(i) + " = 1\n";
    return text;
  };
  const auto episodes = [&](std::size_t count) { return times(count, "[[episode]]\n" + kWhole); };
  const struct {
    const char* what;
    std::string within;  // at the bound
    std::string past;    // one past it
    int line;
    int column;
    const char* message;
  } cases[] = {
      {"a dotted key", times(63, "a.") + "a = 1\n", times(64, "a.") + "a = 1\n", 1, 1,
       "tables, arrays and dotted keys nest more than 64 deep"},
      {"a header's parts and a dotted key",
       "[" + times(31, "a.") + "a]\n" + times(31, "b.") + "b = 1\n",
       "[" + times(31, "a.") + "a]\n" + times(32, "b.") + "b = 1\n", 2, 1,
       "tables, arrays and dotted keys nest more than 64 deep"},
      {"keys in one table", keys(256, "k"), keys(257, "k"), 257, 1,
       "a table holds more than 256 keys"},
      {"dotted keys into one table", "[t]\n" + keys(256, "a.k"), "[t]\n" + keys(257, "a.k"), 258, 1,
       "a table holds more than 256 keys"},
      {"elements of an array", "x = [\n" + times(4096, "1,\n") + "]\n",
       "x = [\n" + times(4097, "1,\n") + "]\n", 4098, 1, "an array holds more than 4096 elements"},
      {"table headers", times(1024, "[[t]]\n"), times(1025, "[[t]]\n"), 1025, 1,
       "the file has more than 1024 tables"},
      {"keys in the file", times(64, "[t]\n" + keys(255, "k")).replace(0, 4, "k = 1\n"),
       times(65, "[t]\n" + keys(255, "k")), 16385, 1,
       "the file holds more than 16384 keys, tables and array elements"},
      {"a crowded line", "x = [" + times(60, "1,") + "1]\n", "x = [" + times(61, "1,") + "1]\n", 1,
       6, "a line of 129 bytes holds more than one key or value; a line longer than 128"},
      {"episodes", episodes(1000), episodes(1001), 8001, 1,
       "the manifest lists more than 1000 episodes"},
  };
  for (const auto& shape : cases) {
    SCOPED_TRACE(shape.what);
    std::vector<EpisodeRecipe> recipes;
    ProjectProblem problem;
    ASSERT_FALSE(parseManifest(shape.past, "m.toml", recipes, problem));
    EXPECT_EQ(problem.line, shape.line) << problem.message;
    EXPECT_EQ(problem.column, shape.column) << problem.message;
    EXPECT_EQ(problem.message.rfind(shape.message, 0), 0u) << problem.message;
    // Within the bound the shape reaches the parser and the manifest's own checks.
    ProjectProblem within;
    parseManifest(shape.within, "m.toml", recipes, within);
    EXPECT_EQ(within.message.find("more than"), std::string::npos) << within.message;
  }
}

// A name or start level is stored as the manifest's UTF-8 bytes on every system, and a control
// character in it is refused at the value, never cut.
TEST(Manifest, NamesAreTheManifestsUtf8WithoutControlCharacters) {
  const struct {
    std::string line;
    const char* key;
    const char* stored;  // null: refused
    const char* message;
  } cases[] = {
      {"name = \"Caf\u00E9 \u2013 \u00FC\"", "name", "Caf\xC3\xA9 \xE2\x80\x93 \xC3\xBC", ""},
      {"name = \"O\\u0000ne\"", "name", nullptr, "name holds the control character U+0000;"},
      {"name = \"a\\tb\"", "name", nullptr, "name holds the control character U+0009 (a tab);"},
      {"start_level = \"a\\u007Fb\"", "start_level", nullptr,
       "start_level holds the control character U+007F;"},
      {"start_level = \"a\\u0085\"", "start_level", nullptr,
       "start_level holds the control character U+0085;"},
  };
  for (const auto& field : cases) {
    SCOPED_TRACE(field.line);
    const std::string key = field.key;
    std::vector<EpisodeRecipe> recipes;
    ProjectProblem problem;
    const bool read = parseManifest(withLine(key, field.line), "m.toml", recipes, problem);
    ASSERT_EQ(read, field.stored != nullptr) << problem.message;
    if (read) {
      EXPECT_EQ(key == "name" ? recipes[0].name : recipes[0].startLevel, field.stored);
      continue;
    }
    EXPECT_EQ(problem.line, key == "name" ? 3 : 4);
    EXPECT_EQ(problem.column, static_cast<int>(key.size()) + 4);
    EXPECT_EQ(problem.message.rfind(field.message, 0), 0u) << problem.message;
  }
}

TEST(Manifest, FieldsAreRefusedOnlyPastTheirWidth) {
  const struct {
    const char* key;
    std::size_t longest;
  } fields[] = {{"name", 127}, {"start_level", 31}};
  for (const auto& field : fields) {
    for (std::size_t length : {field.longest, field.longest + 1}) {
      SCOPED_TRACE(std::string(field.key) + " of " + std::to_string(length) + " bytes");
      const std::string text =
          kWhole + "[[episode]]\n" + field.key + " = \"" + std::string(length, 'x') + "\"\n";
      // Top-level keys are the defaults of the one episode below them.
      std::vector<EpisodeRecipe> recipes;
      ProjectProblem problem;
      const bool read = parseManifest(text, "m.toml", recipes, problem);
      EXPECT_EQ(read, length == field.longest) << problem.message;
      if (!read) {
        EXPECT_EQ(problem.line, 9);
        EXPECT_NE(problem.message.find("the episode file keeps at most " +
                                       std::to_string(field.longest) + " bytes"),
                  std::string::npos)
            << problem.message;
      }
    }
  }
}

TEST(Manifest, DefaultsOverridesAndPathsFromTheManifestsFolder) {
  const std::string text =
      "palette = \"game.pal\"\n"
      "position = 1\n"
      "start_level = \"l1\"\n"
      "episode_image = \"art/ep.bmp\"\n"
      "title_image = \"/abs/title.png\"\n"
      "lowtitle_image = \"art/low.bmp\"\n"
      "[[episode]]\n"
      "output = \"out/a.z4k\"\n"
      "name = \"A\"\n"
      "[[episode]]\n"
      "output = \"b.z4k\"\n"
      "name = \"Č \\\"B\\\"\"\n"
      "position = -4\n"
      "palette = \"\"\n"
      "title_size = \"64x48\"\n"
      "dither = true\n"
      "transparent_index = 0\n";
  std::vector<EpisodeRecipe> recipes;
  ProjectProblem problem;
  ASSERT_TRUE(parseManifest(text, "mod/m.toml", recipes, problem)) << problemText(problem);
  ASSERT_EQ(recipes.size(), 2u);
  const EpisodeRecipe& a = recipes[0];
  EXPECT_EQ(a.output, "mod/out/a.z4k");
  EXPECT_EQ(a.pictures[0], "mod/art/ep.bmp");
  EXPECT_EQ(a.pictures[1], "/abs/title.png");
  EXPECT_EQ(a.position, 1);
  EXPECT_TRUE(a.namesPalette);
  EXPECT_EQ(a.palette, "mod/game.pal");
  EXPECT_FALSE(a.dither);
  EXPECT_EQ(a.transparentIndex, -1);
  EXPECT_TRUE(a.mappingKey.message.empty());
  EXPECT_EQ(a.line, 8);
  const EpisodeRecipe& b = recipes[1];
  EXPECT_EQ(b.name, "Č \"B\"");
  EXPECT_EQ(b.position, -4);
  EXPECT_TRUE(b.namesPalette);
  EXPECT_EQ(b.palette, "") << "\"\" names no palette";
  EXPECT_TRUE(b.hasTitleSize);
  EXPECT_EQ(b.titleWidth, 64);
  EXPECT_EQ(b.titleHeight, 48);
  EXPECT_TRUE(b.dither);
  EXPECT_EQ(b.transparentIndex, 0);
  EXPECT_EQ(b.mappingKey.line, 16) << "the first mapping key, for when no palette is in force";
}

TEST(Manifest, BracketsInStringsAndCommentsDoNotNest) {
  const std::string brackets(200, '[');
  const std::string text =
      kWhole + "title_size = \"1x1\" # " + brackets + "\n" + "palette = '" + brackets + "'\n";
  std::vector<EpisodeRecipe> recipes;
  ProjectProblem problem;
  EXPECT_TRUE(parseManifest(text, "m.toml", recipes, problem)) << problemText(problem);
}

// What closes is closed: many arrays and inline tables one after another, and brackets inside
// multi-line strings, nest no deeper than one of them.
TEST(Manifest, ClosedArraysTablesAndMultiLineStringsDoNotNest) {
  const std::string brackets(100, '[');
  std::string arrays;
  std::string tables;
  for (int i = 0; i < 100; ++i) {
    arrays += "a" + std::to_string(i) + " = [1, [2]]\n";
    tables += "t" + std::to_string(i) + " = { a = { b = 1 } }\n";
  }
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"arrays", arrays},
      {"inline tables", tables},
      {"a multi-line basic string",
       "s = [\"\"\"\n, " + brackets + " \" \"\" \n, " + brackets + "\"\"\"]\n"},
      {"a multi-line literal string",
       "s = ['''\n, " + brackets + " ' '' \n, " + brackets + "''']\n"},
      {"arrays of tables", "[[e]]\nk = 1\n[[e]]\nk = [[1], [2]]\n"},
  };
  for (const auto& shape : cases) {
    const TomlShapeProblem problem = tomlShapeProblem(shape.text);
    EXPECT_EQ(problem.line, 0) << shape.what << ": " << problem.message;
  }
}

// A key that spans lines (a multi-line string where a key stands, which the parser then refuses)
// is placed where it starts, never before the file.
TEST(Manifest, AShapeIsPlacedWhereItStartsWhateverLinesItSpans) {
  std::string dotted;
  for (int i = 0; i < 64; ++i) dotted += ".a";
  const TomlShapeProblem problem =
      tomlShapeProblem("x = 1\n  \"\"\"\n\n\"\"\"" + dotted + " = 1\n");
  EXPECT_EQ(problem.line, 2) << problem.message;
  EXPECT_EQ(problem.column, 3) << problem.message;
}

TEST(Manifest, WhatExtractWritesReadsBackToTheSameValues) {
  EpisodeRecipe written;
  written.output = "caves.z4k";
  written.position = -2147483647 - 1;
  written.name = "Quote \"quoted\" back\\slash Čudo";
  written.startLevel = "caves1.lev";
  written.pictures[0] = "episode.png";
  written.pictures[1] = "title.png";
  written.pictures[2] = "low title.png";
  written.hasTitleSize = true;
  written.titleWidth = 320;
  written.titleHeight = 200;
  written.namesPalette = true;
  written.palette = "../game.pal";
  const std::string text = manifestText(written, {"made by a test", "second line"});
  EXPECT_EQ(text.rfind("# made by a test\n# second line\n", 0), 0u);
  std::vector<EpisodeRecipe> read;
  ProjectProblem problem;
  ASSERT_TRUE(parseManifest(text, "dir/episode.toml", read, problem))
      << problemText(problem) << "\n"
      << text;
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].output, "dir/caves.z4k");
  EXPECT_EQ(read[0].position, written.position);
  EXPECT_EQ(read[0].name, written.name);
  EXPECT_EQ(read[0].startLevel, written.startLevel);
  EXPECT_EQ(read[0].pictures[2], "dir/low title.png");
  EXPECT_EQ(read[0].titleWidth, 320);
  EXPECT_EQ(read[0].titleHeight, 200);
  EXPECT_EQ(read[0].palette, "dir/../game.pal");
}

}  // namespace
