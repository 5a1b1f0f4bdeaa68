// divovod build: three pictures and the answers in, one episode file out.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "command_options.h"
#include "episode_file.h"
#include "field_text.h"
#include "file_identity.h"
#include "import_reasons.h"
#include "picture_import.h"
#include "write_reasons.h"

namespace {

const char* const kBuildHelp =
    "usage: divovod build --episode-image FILE --title-image FILE --lowtitle-image FILE\n"
    "                     --position N --name TEXT --start-level NAME --output FILE\n"
    "                     [--palette FILE [--exact-colours] [--dither]\n"
    "                     [--transparent-index N]]\n"
    "\n"
    "Writes an episode file from three pictures and the answers the dialogue asks for; an\n"
    "existing file is replaced only once the new one is complete, and never one of the\n"
    "pictures. The seven options without a default are needed.\n"
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
    "%s"
    "  -h, --help                 this help\n"
    "\n"
    "Example:\n"
    "  divovod build -e ep.bmp -t title.bmp -l low.bmp -p 5 -n \"Caves\" -s caves1.lev \\\n"
    "                -o caves.z4k\n"
    "  divovod build -e ep.png -t title.png -l low.png -p 5 -n \"Caves\" -s caves1.lev \\\n"
    "                -o caves.z4k --palette game.pal --transparent-index 0\n"
    "\n"
    "Exit status: 0 written, 1 a picture or the write failed, 2 a usage error.\n";

struct ImportedPictures {
  ImportedImage images[3] = {};
  ~ImportedPictures() {
    for (ImportedImage& image : images) {
      if (image.compressedData != nullptr) releaseImportedImage(image);
    }
  }
};

// The build help with the mapping options in their place.
std::string buildHelp() {
  const std::string text = kBuildHelp;
  const std::size_t at = text.find("%s");
  return text.substr(0, at) + kMappingHelp + text.substr(at + 2);
}

bool importAll(const std::string (&names)[3], const ImportOptions& options,
               ImportedPictures& pictures, std::ostream& err) {
  bool all = true;
  for (int i = 0; i < 3; ++i) {
    errno = 0;
    MappingReport report;
    const ImportOutcome outcome =
        importPicture(names[i].c_str(), options, pictures.images[i], &report);
    if (!outcome.ok()) {
      err << "divovod: " << names[i] << ": " << importReason(outcome, errno) << "\n";
      all = false;
    } else if (report.mapped) {
      err << "divovod: " << names[i] << ": " << mappingLine(report) << "\n";
    }
  }
  return all;
}

// The field keeps width - 1 bytes and a zero; fieldTexts has made sure the text fits.
void fillField(char* field, std::size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size());
}

// The two text fields in the bytes the dialogue would store; the problem for a usage error, or "".
// A text longer than its field is refused rather than cut: a start level cut short names a level
// that does not exist.
std::string fieldTexts(const ParsedOptions& parsed, std::string (&texts)[2]) {
  const char* const options[2] = {"name", "start-level"};
  const std::size_t longest[2] = {sizeof(EpisodeAnswers::episodeName) - 1,
                                  sizeof(EpisodeAnswers::startLevel) - 1};
  for (int i = 0; i < 2; ++i) {
    std::string problem;
    if (!fieldBytesFromArgument(value(parsed, options[i]), texts[i], problem)) {
      return std::string("--") + options[i] + ": " + problem;
    }
    if (texts[i].size() > longest[i]) {
      return std::string("--") + options[i] + " is " + std::to_string(texts[i].size()) +
             " bytes long; the episode file keeps at most " + std::to_string(longest[i]) + " bytes";
    }
  }
  return std::string();
}

// The pictures the output may never replace, whatever path names them.
FileIdentities identify(const std::string (&names)[3]) {
  FileIdentities identities;
  FileIdentity identity;
  for (const std::string& name : names) {
    if (identifyFile(name.c_str(), identity)) identities.push_back(identity);
  }
  return identities;
}

std::string pictureSize(const ImportedImage& image) {
  return std::to_string(image.width) + "x" + std::to_string(image.height);
}

}  // namespace

int runBuild(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> required = {
      {"episode-image", 'e', true}, {"title-image", 't', true}, {"lowtitle-image", 'l', true},
      {"position", 'p', true},      {"name", 'n', true},        {"start-level", 's', true},
      {"output", 'o', true}};
  std::vector<OptionRule> rules = required;
  rules.push_back({"help", 'h', false});
  for (const OptionRule& rule : mappingRules()) rules.push_back(rule);
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, buildHelp().c_str(), parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (!parsed.positional.empty()) {
    return usageError(err, "build takes no file names of its own: " + parsed.positional[0]);
  }
  for (const OptionRule& rule : required) {
    if (!has(parsed, rule.longName)) {
      return usageError(err, std::string("build needs --") + rule.longName);
    }
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
  const int loading = loadImportOptions(parsed, options, err);
  if (loading != kGoOn) return loading;
  ImportedPictures pictures;
  if (!importAll(names, options, pictures, err)) return kExitFailed;
  fillField(answers.episodeName, sizeof answers.episodeName, texts[0]);
  fillField(answers.startLevel, sizeof answers.startLevel, texts[1]);

  const ImportedImage* images = pictures.images;
  errno = 0;
  if (!writeEpisodeFile(answers, images[0], images[1], images[2], identify(names))) {
    err << "divovod: " << answers.outputFileName << ": "
        << episodeWriteReason(answers.outputFileName, names, errno) << "\n";
    return kExitFailed;
  }
  const std::int64_t size = std::int64_t{220} + images[0].compressedSize +
                            images[1].compressedSize + images[2].compressedSize;
  out << "divovod: wrote " << answers.outputFileName << " (" << size << " bytes; episode "
      << pictureSize(images[0]) << ", title " << pictureSize(images[1]) << ", lowtitle "
      << pictureSize(images[2]) << ")\n";
  return kExitDone;
}
