// divovod edit: an episode file written again with some of its fields or pictures changed; the
// pictures not named keep their streams byte for byte.
#include <cerrno>
#include <vector>

#include "command_options.h"
#include "episode_build.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "file_identity.h"
#include "file_open.h"
#include "output_guard.h"
#include "protected_files.h"
#include "write_reasons.h"

namespace {

const char* const kEditHelp =
    "usage: divovod edit FILE [--position N] [--name TEXT] [--start-level NAME]\n"
    "                         [--episode-image FILE] [--title-image FILE] [--lowtitle-image FILE]\n"
    "                         [--palette FILE | --no-palette] [--exact-colours] [--dither]\n"
    "                         [--transparent-index N] [--output OUT [--force]]\n"
    "\n"
    "Writes the episode file again with what the options change; an existing file is replaced\n"
    "only once the new one is complete. The pictures not named are copied as they are stored,\n"
    "once every picture of the file is found intact; a damaged file is not edited at all.\n"
    "\n"
    "  -p, --position N           the episode's place in the game's list\n"
    "  -n, --name TEXT            the episode's name (at most 127 bytes)\n"
    "  -s, --start-level NAME     the file name of the first level (at most 31 bytes)\n"
    "  -e, --episode-image FILE   a new episode picture\n"
    "  -t, --title-image FILE     a new title picture\n"
    "  -l, --lowtitle-image FILE  a new lowtitle picture\n"
    "%s"
    "  -o, --output OUT           write the edited file to OUT and leave FILE as it is\n"
    "  -f, --force                with -o: replace an OUT that is not an episode file\n"
    "  -h, --help                 this help\n"
    "\n"
    "Examples:\n"
    "  divovod edit caves.z4k --name \"The Caves\"\n"
    "  divovod edit caves.z4k --title-image title-v2.png --palette game.pal -o caves-v2.z4k\n"
    "\n"
    "Exit status: 0 written, 1 the file is damaged, a picture or the write failed, 2 a usage\n"
    "error.\n";

const char* const kPictureOptions[3] = {"episode-image", "title-image", "lowtitle-image"};
const char* const kPictureNames[3] = {"episode image", "title image", "lowtitle image"};

std::string editHelp() {
  const std::string text = kEditHelp;
  const std::size_t at = text.find("%s");
  return text.substr(0, at) + kMappingHelp + text.substr(at + 2);
}

struct Edit {
  std::string file;
  std::string output;
  bool newPosition = false;
  std::int32_t position = 0;
  bool newName = false;
  std::string name;
  bool newStartLevel = false;
  std::string startLevel;
  std::string pictures[3];  // empty: kept
  bool anyPicture = false;
};

// The edit the options ask for, or the usage error.
std::string editRequest(const ParsedOptions& parsed, Edit& edit) {
  if (parsed.positional.size() != 1) return "edit needs exactly one episode file";
  edit.file = parsed.positional[0];
  edit.output = has(parsed, "output") ? value(parsed, "output") : edit.file;
  if (edit.output.empty()) return "--output needs a file name";
  if (has(parsed, "position")) {
    edit.newPosition = true;
    if (!parseInt32(value(parsed, "position"), edit.position)) {
      return "--position needs a whole number in 32 bits, not '" + value(parsed, "position") + "'";
    }
  }
  std::string problem;
  if (has(parsed, "name")) {
    edit.newName = true;
    problem = fieldBytes("name", value(parsed, "name"), 127, edit.name);
    if (!problem.empty()) return problem;
  }
  if (has(parsed, "start-level")) {
    edit.newStartLevel = true;
    problem = fieldBytes("start-level", value(parsed, "start-level"), 31, edit.startLevel);
    if (!problem.empty()) return problem;
  }
  for (int i = 0; i < 3; ++i) {
    if (!has(parsed, kPictureOptions[i])) continue;
    edit.pictures[i] = value(parsed, kPictureOptions[i]);
    if (edit.pictures[i].empty())
      return std::string("--") + kPictureOptions[i] + " needs a file name";
    edit.anyPicture = true;
  }
  if (!edit.newPosition && !edit.newName && !edit.newStartLevel && !edit.anyPicture) {
    return "edit needs something to change: --position, --name, --start-level, --episode-image, "
           "--title-image or --lowtitle-image";
  }
  if (!edit.anyPicture) {
    for (const OptionRule& rule : mappingRules()) {
      if (has(parsed, rule.longName)) {
        return std::string("--") + rule.longName + " goes with a new picture";
      }
    }
  }
  return std::string();
}

// -o naming the file being edited would be an edit in place that was asked to leave it alone.
bool outputIsInput(const Edit& edit) {
  FileIdentity input;
  FileIdentity output;
  return edit.output != edit.file && identifyFile(edit.file.c_str(), input) &&
         identifyFile(edit.output.c_str(), output) && sameFile(input, output);
}

std::string changedList(const Edit& edit) {
  std::vector<std::string> changed;
  if (edit.newPosition) changed.push_back("position");
  if (edit.newName) changed.push_back("name");
  if (edit.newStartLevel) changed.push_back("start level");
  for (int i = 0; i < 3; ++i) {
    if (!edit.pictures[i].empty()) changed.push_back(kPictureNames[i]);
  }
  std::string text;
  for (const std::string& item : changed) text += (text.empty() ? "" : ", ") + item;
  return text;
}

void applyFields(const Edit& edit, EpisodeHeader& header) {
  if (edit.newPosition) header.listPosition = edit.position;
  if (edit.newName) fillField(header.episodeName, sizeof header.episodeName, edit.name);
  if (edit.newStartLevel) fillField(header.startLevel, sizeof header.startLevel, edit.startLevel);
}

}  // namespace

int runEdit(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::vector<OptionRule> rules = {
      {"position", 'p', true},      {"name", 'n', true},        {"start-level", 's', true},
      {"episode-image", 'e', true}, {"title-image", 't', true}, {"lowtitle-image", 'l', true},
      {"output", 'o', true},        {"help", 'h', false},       {"force", 'f', false}};
  for (const OptionRule& rule : mappingRules()) rules.push_back(rule);
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, editHelp().c_str(), parsed, out, err);
  if (parsing != kGoOn) return parsing;
  Edit edit;
  const std::string problem = editRequest(parsed, edit);
  if (!problem.empty()) return usageError(err, problem);
  if (outputIsInput(edit)) {
    return usageError(err, "--output " + edit.output + " is " + edit.file +
                               " itself; leave out --output to edit it in place");
  }
  ImportOptions options;
  PaletteChoice palette;
  if (edit.anyPicture) {
    const int loading = loadImportOptions(parsed, palette, options, err);
    if (loading != kGoOn) return loading;
  }
  // Another OUT is no file the edit reads (FILE itself is refused above), and is replaced only
  // as build -o would replace it.
  const std::string outputProblem =
      edit.output == edit.file
          ? std::string()
          : singleOutputProblem(edit.output, edit.pictures, palette.path, has(parsed, "force"));
  if (!outputProblem.empty()) {
    err << "divovod: " << messageText(edit.output + ": " + outputProblem) << "\n";
    return kExitFailed;
  }

  errno = 0;
  // Only a regular file is edited: anything else is refused before a byte of it is read.
  FileHandle file(openForReading(edit.file.c_str()));
  if (!file) {
    const int openError = errno;
    err << "divovod: "
        << messageText(edit.file + ": " +
                       episodeInputProblem(edit.file, openError, fileKindOf(edit.file.c_str())))
        << "\n";
    return kExitFailed;
  }
  const EpisodeContents contents = readEpisode(file.get());
  if (!episodeIntact(contents)) {
    for (const std::string& line : episodeProblems(contents)) {
      err << "divovod: " << messageText(edit.file + ": " + line) << "\n";
    }
    err << "divovod: " << messageText(edit.file)
        << ": a damaged file is not edited; nothing written\n";
    return kExitFailed;
  }
  // The kept streams are read whole before anything is written: the output may be the file.
  std::vector<unsigned char> kept[3];
  ImportedPictures imported;
  ImportedImage copies[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (!edit.pictures[i].empty()) continue;
    kept[i] = storedStream(file.get(), contents.pictures[i]);
    if (kept[i].empty()) {
      err << "divovod: " << messageText(edit.file) << ": the " << kPictureNames[i]
          << " cannot be read again (not enough memory, or the file changed); nothing written\n";
      return kExitFailed;
    }
    copies[i] = {0, 0, kept[i].data(), contents.pictures[i].streamSize};
  }
  file.reset();

  const std::string(&names)[3] = edit.pictures;
  PictureImport results[3];
  for (int i = 0; i < 3; ++i) {
    if (names[i].empty()) continue;
    errno = 0;
    results[i].outcome =
        importPicture(names[i].c_str(), options, imported.images[i], &results[i].report);
    results[i].openError = errno;
  }
  if (!reportImports(names, results, err)) return kExitFailed;

  EpisodeHeader header = contents.header;
  applyFields(edit, header);
  const ImportedImage* pictures[3];
  for (int i = 0; i < 3; ++i) pictures[i] = names[i].empty() ? &copies[i] : &imported.images[i];
  if (!names[0].empty()) {
    header.episodeImageWidth = imported.images[0].width;
    header.episodeImageHeight = imported.images[0].height;
  }
  if (!names[2].empty()) {
    header.lowtitleImageWidth = imported.images[2].width;
    header.lowtitleImageHeight = imported.images[2].height;
  }
  FileIdentities untouchable = protectedFiles(names, palette.path);
  FileIdentity input;
  if (edit.output != edit.file && identifyFile(edit.file.c_str(), input)) {
    untouchable.push_back(input);
  }
  errno = 0;
  if (!writeEpisodeWithHeader(edit.output.c_str(), header, pictures, untouchable)) {
    err << "divovod: "
        << messageText(edit.output + ": " +
                       episodeWriteReason(edit.output, names, errno, palette.path))
        << "\n";
    return kExitFailed;
  }
  std::int64_t size = kEpisodeHeaderBytes;
  for (const ImportedImage* picture : pictures) size += 4 + picture->compressedSize;
  const std::string note = edit.anyPicture ? paletteNote(palette) : std::string();
  out << "divovod: wrote "
      << messageText(edit.output + " (" + std::to_string(size) + " bytes; changed: " +
                     changedList(edit) + (note.empty() ? "" : "; " + note) + ")")
      << "\n";
  return kExitDone;
}
