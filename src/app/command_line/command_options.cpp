#include "command_options.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "episode_report.h"
#include "file_open.h"
#include "import_reasons.h"
#include "version_info.h"

namespace {

const char* const kUsage =
    "usage: divovod                    (the interactive menu)\n"
    "       divovod --palette FILE [--exact-colours] [--dither] [--transparent-index N]\n"
    "                                  (the menu, pictures mapped onto the palette)\n"
    "       divovod build --episode-image FILE --title-image FILE --lowtitle-image FILE\n"
    "                     --position N --name TEXT --start-level NAME --output FILE\n"
    "                     [--palette FILE | --no-palette] [--exact-colours] [--dither]\n"
    "                     [--transparent-index N]\n"
    "       divovod build [-j N] [--always] [--palette FILE | --no-palette] MANIFEST...\n"
    "       divovod show [--json] FILE...\n"
    "       divovod show --preview [--palette FILE] [--width N] [--title-size WxH] FILE...\n"
    "       divovod extract FILE [--output-dir DIR] [--format bmp|png] [--palette FILE]\n"
    "                       [--title-size WxH] [--force] [--no-manifest]\n"
    "       divovod edit FILE [--position N] [--name TEXT] [--start-level NAME]\n"
    "                    [--episode-image FILE] [--title-image FILE] [--lowtitle-image FILE]\n"
    "                    [--palette FILE ...] [--output OUT]\n"
    "       divovod diff [--json] [--title-size WxH] A B\n"
    "       divovod config\n"
    "       divovod help [COMMAND] | COMMAND --help | --version\n";

const char* const kHelpDetails =
    "\n"
    "build    writes an episode file from three pictures (bitmaps or PNG) and the answers the\n"
    "         dialogue asks for (short forms: -e -t -l -p -n -s -o). The name may have at\n"
    "         most 127 bytes, the start level 31; longer ones are refused, never cut.\n"
    "         Indexed pictures keep their indices; with --palette every picture is put into\n"
    "         the game's colours. With manifests (TOML files that list episodes), builds\n"
    "         every episode of them side by side, those not up to date.\n"
    "show     prints the header of each episode file given and checks every picture in it\n"
    "         (--json: one JSON value, an object for one file, an array for several;\n"
    "         --preview: the pictures drawn in the terminal).\n"
    "extract  writes episode.bmp, title.bmp and lowtitle.bmp as plain 8-bit bitmaps, or as\n"
    "         indexed PNGs with --format png (-d DIR, default the current folder; -f\n"
    "         replaces existing files), and the manifest episode.toml that builds the file\n"
    "         again. The colours come from the palette, else a grey ramp; the title's size\n"
    "         from --title-size, else the episode or lowtitle size when its pixel count\n"
    "         matches.\n"
    "edit     writes an episode file again with a field or picture changed; the other\n"
    "         pictures are copied as they are stored.\n"
    "diff     says what differs between two episode files (exit status 0 the same, 1\n"
    "         different, 2 one cannot be read).\n"
    "config   prints the settings in force: the game's palette, set once with\n"
    "         DIVOVOD_PALETTE or the config file, for every command that takes --palette.\n"
    "help     `divovod help COMMAND` (or `divovod COMMAND --help`) describes one command:\n"
    "         its options, what it writes, an example. -V is --version.\n"
    "\n"
    "Palette files (the form is found from the content): JASC-PAL, GIMP palette (.gpl),\n"
    "Photoshop colour table (.act, 768 or 772 bytes), RIFF palette, raw 768 bytes of 6-bit VGA\n"
    "values, or an indexed bitmap or PNG whose palette is taken.\n"
    "\n"
    "Exit status: 0 done, 1 an input, a write or the file failed, 2 a usage error.\n";

const OptionRule* findOption(const std::vector<OptionRule>& rules, const std::string& argument) {
  for (const OptionRule& rule : rules) {
    if (argument == std::string("--") + rule.longName) return &rule;
    if (rule.shortName != 0 && argument == std::string{'-', rule.shortName}) return &rule;
  }
  return nullptr;
}

bool parseIndex(const std::string& text, int& index) {
  std::int32_t number = 0;
  if (text.empty() || text[0] == '-' || text[0] == '+' || !parseInt32(text, number) ||
      number > 255) {
    return false;
  }
  index = number;
  return true;
}

// The command being run, whose usage follows a usage error; "" for the program as a whole.
std::string commandInUse;

}  // namespace

const char* const kMappingHelp =
    "      --palette FILE         the game's palette: pictures are put into its colours\n"
    "                             (JASC-PAL, GIMP .gpl, .act, RIFF, raw VGA, or an indexed\n"
    "                             bitmap or PNG); default: DIVOVOD_PALETTE, else the config\n"
    "                             file's (see `divovod config`)\n"
    "      --no-palette           no palette, whatever DIVOVOD_PALETTE or the config says\n"
    "      --exact-colours        refuse a picture with any colour the palette lacks\n"
    "      --dither               Floyd-Steinberg dithering instead of nearest colours\n"
    "      --transparent-index N  pixels of alpha 0 become index N (0 to 255), and N is\n"
    "                             never chosen for any other pixel\n";

std::vector<OptionRule> mappingRules() {
  return {{"palette", 0, true},
          {"no-palette", 0, false},
          {"exact-colours", 0, false},
          {"dither", 0, false},
          {"transparent-index", 0, true}};
}

std::vector<OptionRule> paletteRules() { return {{"palette", 0, true}, {"no-palette", 0, false}}; }

bool loadPalette(const std::string& path, Palette& palette, std::ostream& err) {
  errno = 0;
  const PaletteOutcome outcome = readPalette(path.c_str(), palette);
  if (!outcome.ok()) {
    err << "divovod: " << messageText(path + ": " + paletteReason(outcome, errno)) << "\n";
    return false;
  }
  if (outcome.sixBitValues) {
    err << "divovod: " << messageText(path)
        << ": read as 6-bit VGA values (every byte is at most 63), each scaled to 0..255\n";
  }
  return true;
}

int settingsProblem(std::ostream& err, const ProjectProblem& problem) {
  err << "divovod: " << messageText(problemText(problem)) << "\n";
  return kExitUsage;
}

int choosePalette(const ParsedOptions& parsed, const EpisodeRecipe* recipe, PaletteChoice& choice,
                  std::ostream& err) {
  choice = PaletteChoice{};
  if (has(parsed, "palette") && has(parsed, "no-palette")) {
    return usageError(err, "--palette and --no-palette cannot both be given");
  }
  if (has(parsed, "no-palette")) return kGoOn;
  if (has(parsed, "palette")) {
    if (value(parsed, "palette").empty()) return usageError(err, "--palette needs a file name");
    choice = {PaletteOrigin::kCommandLine, value(parsed, "palette"), {}};
    return kGoOn;
  }
  if (recipe != nullptr && recipe->namesPalette) {
    if (!recipe->palette.empty()) {
      choice = {PaletteOrigin::kManifest, recipe->palette, recipe->manifest};
    }
    return kGoOn;
  }
  ProjectProblem problem;
  if (!paletteFromSettings(choice, problem)) return settingsProblem(err, problem);
  return kGoOn;
}

int loadMapping(const PaletteChoice& choice, const MappingWishes& wishes, ImportOptions& options,
                std::ostream& err, const ProjectProblem* indexKey) {
  options = ImportOptions{};
  if (choice.origin == PaletteOrigin::kNone) return kGoOn;
  if (!loadPalette(choice.path, options.palette, err)) return kExitFailed;
  options.transparentIndex = wishes.transparentIndex;
  const int colours = options.palette.colourCount;
  std::string problem;
  if (options.transparentIndex >= colours) {
    problem = "the palette has only " + std::to_string(colours) + " colours (0 to " +
              std::to_string(colours - 1) + ")";
  } else if (options.transparentIndex >= 0 && colours == 1) {
    problem = "the palette's one colour would leave none for the other pixels";
  }
  if (!problem.empty()) {
    const std::string index = std::to_string(options.transparentIndex);
    // A manifest's index is its key's fault, at its place; an option's is a usage error.
    if (indexKey == nullptr)
      return usageError(err, "--transparent-index " + index + ": " + problem);
    ProjectProblem place = *indexKey;
    place.message = "transparent_index = " + index + ": " + problem + " in " + choice.path;
    return settingsProblem(err, place);
  }
  options.hasPalette = true;
  options.exactColours = wishes.exactColours;
  options.dither = wishes.dither;
  return kGoOn;
}

int loadImportOptions(const ParsedOptions& parsed, PaletteChoice& choice, ImportOptions& options,
                      std::ostream& err) {
  options = ImportOptions{};
  const int choosing = choosePalette(parsed, nullptr, choice, err);
  if (choosing != kGoOn) return choosing;
  const bool palette = choice.origin != PaletteOrigin::kNone;
  for (const char* option : {"exact-colours", "dither", "transparent-index"}) {
    if (has(parsed, option) && !palette) {
      return usageError(err, std::string("--") + option +
                                 " needs --palette FILE (the game's colours to map onto)");
    }
  }
  if (!palette) return kGoOn;
  MappingWishes wishes;
  if (has(parsed, "transparent-index") &&
      !parseIndex(value(parsed, "transparent-index"), wishes.transparentIndex)) {
    return usageError(err, "--transparent-index needs a palette index from 0 to 255, not '" +
                               value(parsed, "transparent-index") + "'");
  }
  wishes.exactColours = has(parsed, "exact-colours");
  wishes.dither = has(parsed, "dither");
  return loadMapping(choice, wishes, options, err);
}

std::string paletteNote(const PaletteChoice& choice) {
  if (choice.origin == PaletteOrigin::kNone || choice.origin == PaletteOrigin::kCommandLine) {
    return std::string();
  }
  return "palette " + choice.path + ", from " + paletteOriginText(choice);
}

UsageError parseOptions(const std::vector<std::string>& arguments, std::size_t from,
                        const std::vector<OptionRule>& rules, ParsedOptions& parsed) {
  bool optionsEnded = false;
  for (std::size_t i = from; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      parsed.positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::string inlineValue;
    bool hasInlineValue = false;
    std::size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      inlineValue = argument.substr(equals + 1);
      hasInlineValue = true;
      argument.resize(equals);
    }
    const OptionRule* rule = findOption(rules, argument);
    if (rule == nullptr) return {"unknown option " + argument};
    if (parsed.values.count(rule->longName) != 0) {
      return {std::string("--") + rule->longName + " is given twice"};
    }
    if (!rule->takesValue) {
      if (hasInlineValue) return {std::string("--") + rule->longName + " takes no value"};
      parsed.values[rule->longName] = "";
    } else if (hasInlineValue) {
      parsed.values[rule->longName] = inlineValue;
    } else if (i + 1 < arguments.size()) {
      parsed.values[rule->longName] = arguments[++i];
    } else {
      return {std::string("--") + rule->longName + " needs a value"};
    }
  }
  return {};
}

bool has(const ParsedOptions& parsed, const char* name) { return parsed.values.count(name) != 0; }

const std::string& value(const ParsedOptions& parsed, const char* name) {
  return parsed.values.at(name);
}

int usageError(std::ostream& err, const std::string& message) {
  err << "divovod: " << message << "\n" << usageOf(commandInUse);
  return kExitUsage;
}

void useCommand(const std::string& command) { commandInUse = command; }

std::string usageOf(const std::string& command) {
  // An entry of the usage is its first line ("divovod COMMAND ...", after "usage: " or its
  // indent) and the lines indented under it.
  std::string entries;
  bool taking = false;
  const std::string text = kUsage;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at) + 1;
    const std::string line = text.substr(at, end - at);
    at = end;
    if (line.compare(7, 8, "divovod ") == 0 || line.compare(7, 8, "divovod\n") == 0) {
      const std::size_t word = line.find_first_not_of(' ', 15);
      const std::string named = line.substr(word, line.find_first_of(" \n", word) - word);
      taking = named == command;
    }
    if (taking) entries += (entries.empty() ? "usage: " : "       ") + line.substr(7);
  }
  if (entries.empty()) return kUsage;
  return entries + "(divovod help " + command + " describes every option)\n";
}

int parseCommand(const std::vector<std::string>& arguments, const std::vector<OptionRule>& rules,
                 const char* commandHelp, ParsedOptions& parsed, std::ostream& out,
                 std::ostream& err) {
  const UsageError error = parseOptions(arguments, 1, withVersion(rules), parsed);
  if (!error.message.empty()) return usageError(err, error.message);
  if (has(parsed, "help")) {
    out << commandHelp;
    return kExitDone;
  }
  if (has(parsed, "version")) {
    out << programVersion() << "\n";
    return kExitDone;
  }
  return kGoOn;
}

std::vector<OptionRule> withVersion(std::vector<OptionRule> rules) {
  rules.push_back({"version", 'V', false});
  return rules;
}

const char* usageText() { return kUsage; }

const char* helpText() {
  static const std::string help = std::string(kUsage) + kHelpDetails;
  return help.c_str();
}

std::FILE* openEpisodeInput(const std::string& name, FileKind& kind) {
  // A pipe (standard input too) is read to its end, as the user asked for it. It is told from
  // its name before anything opens it: a reader that came and went would leave a pipe's writer
  // with no one to write to. A device or a folder is never read.
  kind = fileKindOf(name.c_str());
  if (name == "-" || kind == FileKind::kPipe) {
    return openWholeStream(name.c_str(), kLargestStreamedEpisode);
  }
  return openForReading(name.c_str());
}

namespace {

const char* kindText(FileKind kind) {
  switch (kind) {
    case FileKind::kFolder:
      return "a folder";
    case FileKind::kPipe:
      return "a pipe";
    case FileKind::kCharacterDevice:
      return "a character device";
    case FileKind::kBlockDevice:
      return "a block device";
    case FileKind::kSocket:
      return "a socket";
    case FileKind::kMissing:
    case FileKind::kRegular:
    case FileKind::kOther:
      break;
  }
  return nullptr;
}

}  // namespace

std::string episodeInputProblem(const std::string& name, int openError, FileKind kind) {
  if (openError == EFBIG) {
    return "holds more than " + std::to_string(kLargestStreamedEpisode) +
           " bytes, the most read from standard input or a pipe; give the file itself";
  }
  const char* what = kindText(kind);
  if ((openError == ENXIO || openError == EISDIR) && what != nullptr) {
    return std::string(name == "-" ? "standard input is " : "is ") + what +
           ", not an episode file; nothing was read from it";
  }
  return importReason({ImportProblem::kCannotOpen, 0}, openError);
}

int cannotOpen(std::ostream& err, const std::string& name, int openError) {
  err << "divovod: "
      << messageText(name + ": " + importReason({ImportProblem::kCannotOpen, 0}, openError))
      << "\n";
  return kExitFailed;
}
