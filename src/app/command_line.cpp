#include "command_line.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>

#include "bitmap_export.h"
#include "bitmap_import.h"
#include "episode_file.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "field_text.h"
#include "file_identity.h"
#include "file_open.h"
#include "import_reasons.h"
#include "write_reasons.h"

namespace {

const char* const kVersion = "divovod 1.1";

const char* const kUsage =
    "usage: divovod                    (the interactive menu)\n"
    "       divovod build --episode-image FILE --title-image FILE --lowtitle-image FILE\n"
    "                     --position N --name TEXT --start-level NAME --output FILE\n"
    "       divovod show [--json] FILE\n"
    "       divovod extract FILE [--output-dir DIR] [--palette PICTURE.bmp]\n"
    "                       [--title-size WxH] [--force]\n"
    "       divovod --help | --version\n";

const char* const kHelpDetails =
    "\n"
    "build    writes an episode file from three 8-bit bitmaps and the answers the dialogue\n"
    "         asks for (short forms: -e -t -l -p -n -s -o). The name keeps 127 bytes, the\n"
    "         start level 31.\n"
    "show     prints the header of an episode file and checks every picture in it\n"
    "         (--json: one JSON object).\n"
    "extract  writes episode.bmp, title.bmp and lowtitle.bmp as plain 8-bit bitmaps (-d DIR,\n"
    "         default the current folder; -f replaces existing files). The palette comes\n"
    "         from --palette, else a grey ramp; the title's size from --title-size, else\n"
    "         the episode or lowtitle size when its pixel count matches.\n"
    "\n"
    "Exit status: 0 done, 1 an input, a write or the file failed, 2 a usage error.\n";

// --- options -------------------------------------------------------------------------------

struct OptionRule {
  const char* longName;  // without the leading dashes
  char shortName;        // 0: none
  bool takesValue;
};

struct ParsedOptions {
  std::map<std::string, std::string> values;  // long name -> value ("" for a flag)
  std::vector<std::string> positional;
};

struct UsageError {
  std::string message;  // empty: none
};

const OptionRule* findOption(const std::vector<OptionRule>& rules, const std::string& argument) {
  for (const OptionRule& rule : rules) {
    if (argument == std::string("--") + rule.longName) return &rule;
    if (rule.shortName != 0 && argument == std::string{'-', rule.shortName}) return &rule;
  }
  return nullptr;
}

// `--name VALUE`, `--name=VALUE` and `-n VALUE`. A value is always the next argument, even
// when it starts with a dash (a position of -4, a name like "-x-"); "--" ends the options.
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

// A whole number in 32 signed bits, nothing before or after it.
bool parseInt32(const std::string& text, std::int32_t& result) {
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (text.size() == at || text.size() > at + 10) return false;
  std::int64_t magnitude = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  std::int64_t number = text[0] == '-' ? -magnitude : magnitude;
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  result = static_cast<std::int32_t>(number);
  return true;
}

bool parseTitleSize(const std::string& text, std::int32_t& width, std::int32_t& height) {
  std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos || x == 0) return false;
  const std::string first = text.substr(0, x);
  const std::string second = text.substr(x + 1);
  if (second.empty() || first[0] == '-' || first[0] == '+' || second[0] == '-' ||
      second[0] == '+' || !parseInt32(first, width) || !parseInt32(second, height)) {
    return false;
  }
  return std::int64_t{width} * height <= std::numeric_limits<std::int32_t>::max();
}

int usageError(std::ostream& err, const std::string& message) {
  err << "divovod: " << message << "\n" << kUsage;
  return kExitUsage;
}

// What runs before every command: its options are parsed, and a usage error or --help is
// answered here. kGoOn when the command itself has work to do.
constexpr int kGoOn = -1;

int parseCommand(const std::vector<std::string>& arguments, const std::vector<OptionRule>& rules,
                 ParsedOptions& parsed, std::ostream& out, std::ostream& err) {
  const UsageError error = parseOptions(arguments, 1, rules, parsed);
  if (!error.message.empty()) return usageError(err, error.message);
  if (!has(parsed, "help")) return kGoOn;
  out << kUsage << kHelpDetails;
  return kExitDone;
}

// --- build ---------------------------------------------------------------------------------

struct ImportedPictures {
  ImportedImage images[3] = {};
  ~ImportedPictures() {
    for (ImportedImage& image : images) {
      if (image.compressedData != nullptr) releaseImportedImage(image);
    }
  }
};

bool importAll(const std::string (&names)[3], ImportedPictures& pictures, std::ostream& err) {
  bool all = true;
  for (int i = 0; i < 3; ++i) {
    errno = 0;
    const ImportOutcome outcome = importBitmap(names[i].c_str(), pictures.images[i]);
    if (!outcome.ok()) {
      err << "divovod: " << names[i] << ": " << importReason(outcome, errno) << "\n";
      all = false;
    }
  }
  return all;
}

// The field keeps width - 1 bytes and a zero; a longer text is cut, and the user is told.
void fillField(char* field, std::size_t width, const std::string& text, const char* option,
               std::ostream& err) {
  std::memset(field, 0, width);
  std::size_t kept = text.size();
  if (kept > width - 1) {
    kept = width - 1;
    err << "divovod: " << option << " is " << text.size() << " bytes long; only its first " << kept
        << " are stored\n";
  }
  std::memcpy(field, text.data(), kept);
}

// The two text fields in the bytes the dialogue would store; the problem for a usage error, or "".
std::string fieldTexts(const ParsedOptions& parsed, std::string (&texts)[2]) {
  const char* const options[2] = {"name", "start-level"};
  for (int i = 0; i < 2; ++i) {
    std::string problem;
    if (!fieldBytesFromArgument(value(parsed, options[i]), texts[i], problem)) {
      return std::string("--") + options[i] + ": " + problem;
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

// Said when the write failed: the picture the output names, else what stands in the way.
void reportWriteFailure(const std::string& output, const std::string (&names)[3], int writeError,
                        std::ostream& err) {
  static const char* const kRoles[3] = {"episode image", "title image", "lowtitle image"};
  err << "divovod: " << output << ": ";
  FileIdentity written;
  FileIdentity picture;
  const bool exists = identifyFile(output.c_str(), written);
  for (int i = 0; exists && i < 3; ++i) {
    if (identifyFile(names[i].c_str(), picture) && sameFile(written, picture)) {
      err << "is one of the pictures (the " << kRoles[i] << " " << names[i]
          << "); it is never written over\n";
      return;
    }
  }
  err << writeReason(output, writeError) << "\n";
}

std::string pictureSize(const ImportedImage& image) {
  return std::to_string(image.width) + "x" + std::to_string(image.height);
}

int runBuild(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> rules = {{"episode-image", 'e', true},  {"title-image", 't', true},
                                         {"lowtitle-image", 'l', true}, {"position", 'p', true},
                                         {"name", 'n', true},           {"start-level", 's', true},
                                         {"output", 'o', true},         {"help", 'h', false}};
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (!parsed.positional.empty()) {
    return usageError(err, "build takes no file names of its own: " + parsed.positional[0]);
  }
  for (const OptionRule& rule : rules) {
    if (rule.takesValue && !has(parsed, rule.longName)) {
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
  ImportedPictures pictures;
  if (!importAll(names, pictures, err)) return kExitFailed;
  fillField(answers.episodeName, sizeof answers.episodeName, texts[0], "--name", err);
  fillField(answers.startLevel, sizeof answers.startLevel, texts[1], "--start-level", err);

  const ImportedImage* images = pictures.images;
  errno = 0;
  if (!writeEpisodeFile(answers, images[0], images[1], images[2], identify(names))) {
    reportWriteFailure(answers.outputFileName, names, errno, err);
    return kExitFailed;
  }
  const std::int64_t size = std::int64_t{220} + images[0].compressedSize +
                            images[1].compressedSize + images[2].compressedSize;
  out << "divovod: wrote " << answers.outputFileName << " (" << size << " bytes; episode "
      << pictureSize(images[0]) << ", title " << pictureSize(images[1]) << ", lowtitle "
      << pictureSize(images[2]) << ")\n";
  return kExitDone;
}

// --- show ----------------------------------------------------------------------------------

int cannotOpen(std::ostream& err, const std::string& name, int openError) {
  err << "divovod: " << name << ": " << importReason({ImportProblem::kCannotOpen, 0}, openError)
      << "\n";
  return kExitFailed;
}

int runShow(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> rules = {{"json", 'j', false}, {"help", 'h', false}};
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (parsed.positional.size() != 1) return usageError(err, "show needs exactly one file");
  const std::string& name = parsed.positional[0];
  errno = 0;
  EpisodeContents contents;
  if (!readEpisodeFile(name.c_str(), contents)) return cannotOpen(err, name, errno);
  out << (has(parsed, "json") ? showAsJson(name, contents) : showAsText(name, contents));
  return episodeIntact(contents) ? kExitDone : kExitFailed;
}

// --- extract -------------------------------------------------------------------------------

struct ExtractRequest {
  std::string episodeFile;
  std::string outputDirectory;
  std::string paletteFile;
  std::int32_t titleWidth = -1;  // -1: not given
  std::int32_t titleHeight = -1;
  bool force = false;
};

std::string joinPath(const std::string& directory, const char* name) {
  if (directory.empty()) return name;
  const char last = directory.back();
  return last == '/' || last == '\\' ? directory + name : directory + "/" + name;
}

UsageError extractRequest(const std::vector<std::string>& arguments, ExtractRequest& request,
                          bool& help) {
  const std::vector<OptionRule> rules = {{"output-dir", 'd', true},
                                         {"palette", 0, true},
                                         {"title-size", 0, true},
                                         {"force", 'f', false},
                                         {"help", 'h', false}};
  ParsedOptions parsed;
  UsageError error = parseOptions(arguments, 1, rules, parsed);
  if (!error.message.empty()) return error;
  help = has(parsed, "help");
  if (help) return {};
  if (parsed.positional.size() != 1) return {"extract needs exactly one episode file"};
  request.episodeFile = parsed.positional[0];
  if (has(parsed, "output-dir")) request.outputDirectory = value(parsed, "output-dir");
  if (has(parsed, "palette")) request.paletteFile = value(parsed, "palette");
  request.force = has(parsed, "force");
  if (has(parsed, "title-size") &&
      !parseTitleSize(value(parsed, "title-size"), request.titleWidth, request.titleHeight)) {
    return {"--title-size needs WIDTHxHEIGHT, for example 320x200, not '" +
            value(parsed, "title-size") + "'"};
  }
  return {};
}

struct PictureOut {
  const char* fileName;
  std::int32_t width;
  std::int32_t height;
  bool wanted;
};

// The title's size is stored nowhere: the one given, else a stored size whose pixel count is
// the title's.
bool chooseTitleSize(const ExtractRequest& request, const EpisodeContents& contents,
                     PictureOut& title) {
  const EpisodeHeader& header = contents.header;
  const std::int64_t count = contents.pictures[1].pixelCount;
  if (request.titleWidth >= 0) {
    title.width = request.titleWidth;
    title.height = request.titleHeight;
  } else if (count == std::int64_t{header.episodeImageWidth} * header.episodeImageHeight) {
    title.width = header.episodeImageWidth;
    title.height = header.episodeImageHeight;
  } else if (count == std::int64_t{header.lowtitleImageWidth} * header.lowtitleImageHeight) {
    title.width = header.lowtitleImageWidth;
    title.height = header.lowtitleImageHeight;
  } else {
    return false;
  }
  return true;
}

bool refuseExisting(const ExtractRequest& request, const PictureOut (&pictures)[3],
                    std::ostream& err) {
  if (request.force) return false;
  bool refused = false;
  for (const PictureOut& picture : pictures) {
    const std::string path = joinPath(request.outputDirectory, picture.fileName);
    if (picture.wanted && pathExists(path.c_str())) {
      err << "divovod: " << path << ": already exists (--force replaces it)\n";
      refused = true;
    }
  }
  return refused;
}

// A folder given with --output-dir is made when missing, with the folders that lead to it, as a
// script that extracts into a fresh folder expects.
bool makeOutputDirectory(const std::string& directory, std::ostream& err) {
  if (directory.empty()) return true;
  std::error_code failure;
  std::filesystem::create_directories(std::filesystem::u8path(directory), failure);
  if (!failure) return true;
  err << "divovod: " << directory << ": cannot make this folder (" << failure.message() << ")\n";
  return false;
}

int writePictures(std::FILE* file, const ExtractRequest& request, const EpisodeContents& contents,
                  const Palette& palette, const PictureOut (&pictures)[3], std::ostream& out,
                  std::ostream& err) {
  std::string written;
  for (int i = 0; i < 3; ++i) {
    if (!pictures[i].wanted) continue;
    const std::string path = joinPath(request.outputDirectory, pictures[i].fileName);
    PixelBlock pixels = inflatePicture(file, contents.pictures[i]);
    if (!pixels) {
      err << "divovod: " << request.episodeFile << ": cannot inflate the " << pictures[i].fileName
          << " picture again (not enough memory, or the file changed)\n";
      return kExitFailed;
    }
    errno = 0;
    if (!writeBitmapFile(path.c_str(), pictures[i].width, pictures[i].height, pixels.get(),
                         palette)) {
      err << "divovod: " << path << ": " << writeReason(path, errno) << "\n";
      return kExitFailed;
    }
    written += (written.empty() ? "" : ", ") + path + " (" + std::to_string(pictures[i].width) +
               "x" + std::to_string(pictures[i].height) + ")";
  }
  out << "divovod: wrote " << written << "\n";
  return kExitDone;
}

int runExtract(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ExtractRequest request;
  bool help = false;
  UsageError error = extractRequest(arguments, request, help);
  if (!error.message.empty()) return usageError(err, error.message);
  if (help) {
    out << kUsage << kHelpDetails;
    return kExitDone;
  }
  Palette palette = greyRamp();
  if (!request.paletteFile.empty()) {
    errno = 0;
    const PaletteOutcome outcome = readPalette(request.paletteFile.c_str(), palette);
    if (!outcome.ok()) {
      err << "divovod: " << request.paletteFile << ": " << paletteReason(outcome, errno) << "\n";
      return kExitFailed;
    }
  }
  errno = 0;
  FileHandle file(openForReading(request.episodeFile.c_str()));
  if (!file) return cannotOpen(err, request.episodeFile, errno);
  const bool titleSizeGiven = request.titleWidth >= 0;
  const EpisodeContents contents = readEpisode(
      file.get(), titleSizeGiven ? std::int64_t{request.titleWidth} * request.titleHeight : -1);
  if (!episodeIntact(contents)) {
    for (const std::string& problem : episodeProblems(contents, titleSizeGiven)) {
      err << "divovod: " << request.episodeFile << ": " << problem << "\n";
    }
    return kExitFailed;
  }
  const EpisodeHeader& header = contents.header;
  PictureOut pictures[3] = {
      {"episode.bmp", header.episodeImageWidth, header.episodeImageHeight, true},
      {"title.bmp", 0, 0, false},
      {"lowtitle.bmp", header.lowtitleImageWidth, header.lowtitleImageHeight, true}};
  pictures[1].wanted = chooseTitleSize(request, contents, pictures[1]);
  if (refuseExisting(request, pictures, err)) return kExitFailed;
  if (!makeOutputDirectory(request.outputDirectory, err)) return kExitFailed;
  int status = writePictures(file.get(), request, contents, palette, pictures, out, err);
  if (status == kExitDone && !pictures[1].wanted) {
    err << "divovod: title.bmp not written: its size is not stored and its "
        << contents.pictures[1].pixelCount
        << " pixels match neither stored size; give --title-size WxH\n";
    status = kExitFailed;
  }
  return status;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  if (arguments.empty()) return usageError(err, "no command given");
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h") {
    out << kUsage << kHelpDetails;
    return kExitDone;
  }
  if (command == "--version") {
    out << kVersion << "\n";
    return kExitDone;
  }
  if (command == "build") return runBuild(arguments, out, err);
  if (command == "show") return runShow(arguments, out, err);
  if (command == "extract") return runExtract(arguments, out, err);
  if (!command.empty() && command[0] == '-') return usageError(err, "unknown option " + command);
  return usageError(err, "unknown command " + command);
}
