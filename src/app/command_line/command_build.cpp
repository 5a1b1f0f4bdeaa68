// divovod build: three pictures and the answers in, one episode file out.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "command_options.h"
#include "episode_build.h"
#include "episode_file.h"
#include "episode_report.h"
#include "file_identity.h"
#include "import_reasons.h"
#include "output_guard.h"
#include "picture_import.h"
#include "protected_files.h"
#include "write_reasons.h"

namespace {

const char* const kBuildHelp =
    "usage: divovod build --episode-image FILE --title-image FILE --lowtitle-image FILE\n"
    "                     --position N --name TEXT --start-level NAME --output FILE\n"
    "                     [--palette FILE | --no-palette] [--exact-colours] [--dither]\n"
    "                     [--transparent-index N] [--force]\n"
    "       divovod build [-j N] [--always] [--force] [--palette FILE | --no-palette]\n"
    "                     MANIFEST...\n"
    "\n"
    "Writes an episode file from three pictures and the answers the dialogue asks for; an\n"
    "existing episode file is replaced only once the new one is complete; a file the build\n"
    "reads (a picture, the palette, a manifest, the config file) never is, and another\n"
    "existing file only with --force. The seven options without a default are needed.\n"
    "Pictures: bitmaps of 1, 4 or 8 bits and indexed PNG keep their palette indices; true-colour\n"
    "bitmaps and PNG need --palette, and with it every picture is put into the game's colours\n"
    "(an indexed picture already in them is stored unchanged).\n"
    "\n"
    "  -e, --episode-image FILE   the episode picture\n"
    "  -t, --title-image FILE     the title picture\n"
    "  -l, --lowtitle-image FILE  the lowtitle picture\n"
    "  -p, --position N           the episode's place in the game's list (32-bit whole number)\n"
    "  -n, --name TEXT            the episode's name (at most 127 bytes)\n"
    "  -s, --start-level NAME     the file name of the first level (at most 31 bytes)\n"
    "  -o, --output FILE          the episode file to write (an existing one is replaced)\n"
    "  -f, --force                replace an existing file that is not an episode file\n"
    "%s"
    "  -h, --help                 this help\n"
    "\n"
    "With manifests (TOML files that list episodes, see the user guide), every episode of\n"
    "every manifest is built, side by side; one that is newer than its manifest, its pictures\n"
    "and its palette is up to date and left alone. One line per episode says what became of it.\n"
    "  -j, --jobs N               build N episodes at once (default: the processors)\n"
    "      --always               build every episode, up to date or not\n"
    "\n"
    "Example:\n"
    "  divovod build -e ep.bmp -t title.bmp -l low.bmp -p 5 -n \"Caves\" -s caves1.lev \\\n"
    "                -o caves.z4k\n"
    "  divovod build -e ep.png -t title.png -l low.png -p 5 -n \"Caves\" -s caves1.lev \\\n"
    "                -o caves.z4k --palette game.pal --transparent-index 0\n"
    "  divovod build mod/episodes.toml\n"
    "\n"
    "Exit status: 0 written (or up to date), 1 a picture, an episode or the write failed, 2 a\n"
    "usage error or a manifest that is wrong.\n";

// The build help with the mapping options in their place.
std::string buildHelp() {
  const std::string text = kBuildHelp;
  const std::size_t at = text.find("%s");
  return text.substr(0, at) + kMappingHelp + text.substr(at + 2);
}

// The two text fields in the bytes the dialogue would store; the problem for a usage error, or "".
std::string fieldTexts(const ParsedOptions& parsed, std::string (&texts)[2]) {
  const char* const options[2] = {"name", "start-level"};
  const std::size_t longest[2] = {sizeof(EpisodeAnswers::episodeName) - 1,
                                  sizeof(EpisodeAnswers::startLevel) - 1};
  for (int i = 0; i < 2; ++i) {
    const std::string problem =
        fieldBytes(options[i], value(parsed, options[i]), longest[i], texts[i]);
    if (!problem.empty()) return problem;
  }
  return std::string();
}

std::vector<OptionRule> requiredRules() {
  return {{"episode-image", 'e', true}, {"title-image", 't', true}, {"lowtitle-image", 'l', true},
          {"position", 'p', true},      {"name", 'n', true},        {"start-level", 's', true},
          {"output", 'o', true}};
}

// build with manifests takes their episodes from them: of the options, only the palette and how
// the build runs.
int manifestForm(const ParsedOptions& parsed, std::ostream& out, std::ostream& err) {
  for (const OptionRule& rule : requiredRules()) {
    if (has(parsed, rule.longName)) {
      return usageError(err, std::string("--") + rule.longName +
                                 " belongs to the build of one episode from options; a manifest "
                                 "names its own");
    }
  }
  for (const char* option : {"exact-colours", "dither", "transparent-index"}) {
    if (has(parsed, option)) {
      return usageError(
          err, std::string("--") + option + " is set in the manifest (as " + option + " = ...)");
    }
  }
  if (has(parsed, "palette") && has(parsed, "no-palette")) {
    return usageError(err, "--palette and --no-palette cannot both be given");
  }
  return runManifestBuild(parsed, out, err);
}

int optionForm(const ParsedOptions& parsed, std::ostream& out, std::ostream& err) {
  for (const char* option : {"jobs", "always"}) {
    if (has(parsed, option)) {
      return usageError(err, std::string("--") + option + " goes with manifests");
    }
  }
  std::vector<std::string> missing;
  for (const OptionRule& rule : requiredRules()) {
    if (!has(parsed, rule.longName)) missing.push_back(std::string("--") + rule.longName);
  }
  if (!missing.empty()) {
    std::string listed = missing[0];
    for (std::size_t i = 1; i < missing.size(); ++i) {
      listed += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
    }
    return usageError(err, "build needs " + listed + " (or a manifest)");
  }
  EpisodeAnswers answers{};
  if (!parseInt32(value(parsed, "position"), answers.listPosition)) {
    return usageError(
        err, "--position needs a whole number in 32 bits, not '" + value(parsed, "position") + "'");
  }
  answers.outputFileName = value(parsed, "output");
  if (answers.outputFileName.empty()) return usageError(err, "--output needs a file name");
  std::string texts[2];
  const std::string problem = fieldTexts(parsed, texts);
  if (!problem.empty()) return usageError(err, problem);

  const std::string names[3] = {value(parsed, "episode-image"), value(parsed, "title-image"),
                                value(parsed, "lowtitle-image")};
  ImportOptions options;
  PaletteChoice palette;
  const int loading = loadImportOptions(parsed, palette, options, err);
  if (loading != kGoOn) return loading;
  // Said before a picture is imported.
  const std::string outputProblem =
      singleOutputProblem(answers.outputFileName, names, palette.path, has(parsed, "force"));
  if (!outputProblem.empty()) {
    err << "divovod: " << messageText(answers.outputFileName + ": " + outputProblem) << "\n";
    return kExitFailed;
  }
  ImportedPictures pictures;
  PictureImport results[3];
  ThreadBudget budget(processorCount() - 1);  // this thread is one of them
  importPictures(names, options, budget, pictures, results);
  if (!reportImports(names, results, err)) return kExitFailed;
  fillField(answers.episodeName, sizeof answers.episodeName, texts[0]);
  fillField(answers.startLevel, sizeof answers.startLevel, texts[1]);

  const ImportedImage(&images)[3] = pictures.images;
  errno = 0;
  if (!writeEpisodeFile(answers, images[0], images[1], images[2],
                        protectedFiles(names, palette.path))) {
    err << "divovod: "
        << messageText(answers.outputFileName + ": " +
                       episodeWriteReason(answers.outputFileName, names, errno, palette.path))
        << "\n";
    return kExitFailed;
  }
  out << "divovod: " << messageText(wroteText(answers.outputFileName, images, paletteNote(palette)))
      << "\n";
  return kExitDone;
}

}  // namespace

int runBuild(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::vector<OptionRule> rules = requiredRules();
  rules.push_back({"help", 'h', false});
  rules.push_back({"jobs", 'j', true});
  rules.push_back({"always", 0, false});
  rules.push_back({"force", 'f', false});
  for (const OptionRule& rule : mappingRules()) rules.push_back(rule);
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, buildHelp().c_str(), parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (!parsed.positional.empty()) return manifestForm(parsed, out, err);
  return optionForm(parsed, out, err);
}
