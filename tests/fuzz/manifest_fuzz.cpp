// Any byte string as a manifest. A refusal names the file, says what is wrong and leaves the
// caller's list alone; a manifest read holds at least one episode whose fields fit the file's,
// and what extract would write for each reads back to the very same values.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "manifest fuzz: %s\n", what);
  std::abort();
}

void checkReadsBack(const EpisodeRecipe& read) {
  EpisodeRecipe written = read;
  written.output = "out.z4k";
  written.pictures[0] = "e.bmp";
  written.pictures[1] = "t.bmp";
  written.pictures[2] = "l.bmp";
  written.palette = written.palette.empty() ? "" : "p.pal";
  std::vector<EpisodeRecipe> again;
  ProjectProblem problem;
  if (!parseManifest(manifestText(written, {"fuzz"}), "m.toml", again, problem)) {
    fail("a manifest as extract writes it does not read back");
  }
  const EpisodeRecipe& back = again.at(0);
  if (again.size() != 1 || back.position != read.position || back.name != read.name ||
      back.startLevel != read.startLevel || back.hasTitleSize != read.hasTitleSize ||
      back.titleWidth != read.titleWidth || back.titleHeight != read.titleHeight ||
      back.namesPalette != read.namesPalette || back.dither != read.dither ||
      back.exactColours != read.exactColours || back.transparentIndex != read.transparentIndex) {
    fail("a manifest as extract writes it reads back to other values");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<EpisodeRecipe> recipes(2);
  ProjectProblem problem;
  if (!parseManifest(text, "fuzz/m.toml", recipes, problem)) {
    if (recipes.size() != 2) fail("a refusal changed the list");
    if (problem.file != "fuzz/m.toml" || problem.message.empty()) fail("a refusal without words");
    if (problem.line < 0 || problem.column < 0) fail("a place before the file");
    return 0;
  }
  if (recipes.empty()) fail("a manifest read without an episode");
  for (const EpisodeRecipe& recipe : recipes) {
    if (recipe.name.size() > 127 || recipe.startLevel.size() > 31) fail("a field too long");
    if (recipe.transparentIndex < -1 || recipe.transparentIndex > 255) fail("an index past 255");
    if (recipe.output.empty() || recipe.pictures[0].empty()) fail("an empty path");
    checkReadsBack(recipe);
  }
  return 0;
}
