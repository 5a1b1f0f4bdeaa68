// divovod extract: the pictures of an episode file written out as plain bitmaps or PNG, and the
// manifest that builds the file again from them.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "bitmap_writer.h"
#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "file_identity.h"
#include "file_open.h"
#include "import_reasons.h"
#include "png_writer.h"
#include "safe_file.h"
#include "title_size.h"
#include "user_environment.h"
#include "user_settings.h"
#include "utf8_text.h"
#include "version_info.h"
#include "write_reasons.h"

namespace {

const char* const kExtractHelp =
    "usage: divovod extract FILE [--output-dir DIR] [--format bmp|png]\n"
    "                            [--palette FILE | --no-palette] [--title-size WxH] [--force]\n"
    "                            [--no-manifest]\n"
    "\n"
    "Writes episode.bmp, title.bmp and lowtitle.bmp as plain 8-bit bitmaps (40-byte header,\n"
    "256 colours, bottom row first), or with --format png episode.png, title.png and\n"
    "lowtitle.png as indexed 8-bit PNGs with a palette of 256 colours, and beside them the\n"
    "manifest episode.toml that names them with the header's values, the title's size and the\n"
    "palette: `divovod build DIR/episode.toml` gives back the same episode file byte for byte\n"
    "(as DIR/FILE's name). FILE may be - (standard input) or a pipe, read whole; its manifest\n"
    "then names the output episode.z4k.\n"
    "\n"
    "  -d, --output-dir DIR  where to write them (default: the current folder; made if missing)\n"
    "      --palette FILE    the colours to give them: JASC-PAL, GIMP .gpl, .act, RIFF, raw\n"
    "                        VGA, or an indexed bitmap or PNG such as the game's own\n"
    "                        (default: DIVOVOD_PALETTE or the config file's, else a grey\n"
    "                        ramp: the file stores no palette)\n"
    "      --no-palette      a grey ramp, whatever DIVOVOD_PALETTE or the config says\n"
    "      --title-size WxH  the title's size, which the file does not store (default: the\n"
    "                        episode or lowtitle size when its pixel count matches; else\n"
    "                        nothing is written, and the sizes of that count are listed)\n"
    "      --format bmp|png  the kind of picture file (default: bmp)\n"
    "  -f, --force           replace files that already exist\n"
    "      --no-manifest     write the pictures alone, without episode.toml\n"
    "  -h, --help            this help\n"
    "\n"
    "A damaged file is not extracted at all. Every target is checked before anything is\n"
    "written: one that exists (without --force), is a folder or a device, or leads to the\n"
    "episode file being read, the palette file in use, the one DIVOVOD_PALETTE or the config\n"
    "file names or the config file itself (by any name or link, --force or not) stops the\n"
    "extraction with nothing written, as does a file name that is not UTF-8 text, which no\n"
    "manifest can hold (--no-manifest writes the pictures alone).\n"
    "A picture whose bitmap would pass the format's 4 GB limit is left out, and said so.\n"
    "\n"
    "Example:\n"
    "  divovod extract caves.z4k -d caves --palette game.bmp --title-size 320x200\n"
    "\n"
    "Exit status: 0 all three written, 1 the file is damaged, a picture was not written or a\n"
    "write failed, 2 a usage error.\n";

struct ExtractRequest {
  std::string episodeFile;
  std::string outputDirectory;
  PaletteChoice palette;
  bool manifest = true;
  std::int32_t titleWidth = -1;  // -1: not given
  std::int32_t titleHeight = -1;
  bool force = false;
  bool png = false;  // --format png
};

std::string joinPath(const std::string& directory, const char* name) {
  if (directory.empty()) return name;
  const char last = directory.back();
  return last == '/' || last == '\\' ? directory + name : directory + "/" + name;
}

UsageError extractRequest(const std::vector<std::string>& arguments, ExtractRequest& request,
                          ParsedOptions& parsed, bool& help) {
  const std::vector<OptionRule> rules = {{"output-dir", 'd', true}, {"palette", 0, true},
                                         {"no-palette", 0, false},  {"title-size", 0, true},
                                         {"force", 'f', false},     {"format", 0, true},
                                         {"help", 'h', false},      {"no-manifest", 0, false}};
  UsageError error = parseOptions(arguments, 1, withVersion(rules), parsed);
  if (!error.message.empty()) return error;
  help = has(parsed, "help") || has(parsed, "version");
  if (help) return {};
  if (parsed.positional.size() != 1) return {"extract needs exactly one episode file"};
  request.episodeFile = parsed.positional[0];
  if (has(parsed, "output-dir")) request.outputDirectory = value(parsed, "output-dir");
  request.force = has(parsed, "force");
  request.manifest = !has(parsed, "no-manifest");
  if (has(parsed, "format")) {
    const std::string& format = value(parsed, "format");
    if (format != "png" && format != "bmp") {
      return {"--format needs png or bmp, not '" + format + "'"};
    }
    request.png = format == "png";
  }
  if (has(parsed, "title-size") &&
      !parseTitleSize(value(parsed, "title-size"), request.titleWidth, request.titleHeight)) {
    return {"--title-size needs WIDTHxHEIGHT, for example 320x200, not '" +
            value(parsed, "title-size") + "'"};
  }
  return {};
}

// The three pictures, then the manifest that names them.
constexpr int kTargets = 4;
constexpr int kManifest = 3;

struct PictureOut {
  const char* stem;  // the file's name without its extension
  std::int32_t width;
  std::int32_t height;
  bool wanted;
  std::string path;           // where it goes
  std::string notWrittenWhy;  // empty while it is still to be written
};

std::string sizeText(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// The title's size as guessed (title_size.h); false when it stays unknown.
bool chooseTitleSize(const ExtractRequest& request, const EpisodeContents& contents,
                     PictureOut& title) {
  const TitleSize size = guessTitleSize(contents, request.titleWidth, request.titleHeight);
  title.width = size.width;
  title.height = size.height;
  return titleSizeKnown(size);
}

// The sizes a title of `count` pixels may have, the common screen shapes first (4:3, 16:10,
// 16:9, 1:1), then the squarest, wide before tall: ", one of 320x200, ..." or "".
std::string titleSizeHint(std::int64_t count) {
  if (count <= 0) return std::string();
  std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
  for (std::int64_t side = 1; side * side <= count; ++side) {
    if (count % side != 0) continue;
    sizes.push_back({count / side, side});
    if (side * side != count) sizes.push_back({side, count / side});
  }
  const auto shape = [](const std::pair<std::int64_t, std::int64_t>& size) {
    const std::int64_t w = size.first;
    const std::int64_t h = size.second;
    if (w * 3 == h * 4) return 0;
    if (w * 10 == h * 16) return 1;
    if (w * 9 == h * 16) return 2;
    return w == h ? 3 : 4;
  };
  std::stable_sort(sizes.begin(), sizes.end(), [&](const auto& a, const auto& b) {
    if (shape(a) != shape(b)) return shape(a) < shape(b);
    // The squarer shape has the smaller long-to-short ratio; compared without division.
    const std::int64_t longA = std::max(a.first, a.second), shortA = std::min(a.first, a.second);
    const std::int64_t longB = std::max(b.first, b.second), shortB = std::min(b.first, b.second);
    if (longA * shortB != longB * shortA) return longA * shortB < longB * shortA;
    return a.first > b.first;
  });
  std::string hint = ", one of ";
  const std::size_t shown = std::min<std::size_t>(sizes.size(), 6);
  for (std::size_t i = 0; i < shown; ++i) {
    hint += (i == 0 ? "" : ", ") + std::to_string(sizes[i].first) + "x" +
            std::to_string(sizes[i].second);
  }
  return shown < sizes.size() ? hint + " (" + std::to_string(sizes.size()) + " in all)" : hint;
}

// A picture whose bitmap would pass the format's 32-bit file size is left out before a byte of
// it is inflated: it could never be written.
void leaveOutTooLarge(PictureOut& picture) {
  const std::uint64_t size = bitmapFileSize(picture.width, picture.height);
  if (size <= kLargestBitmapFile) return;
  picture.notWrittenWhy = "a " + sizeText(picture.width, picture.height) + " picture needs a " +
                          std::to_string(size) +
                          "-byte bitmap, past the format's limit of 4 GB (4294967295 bytes)";
}

// PNG has no pictures without a row or a column; a bitmap has.
void leaveOutEmptyPng(PictureOut& picture) {
  if (picture.width > 0 && picture.height > 0) return;
  picture.notWrittenWhy = "a " + sizeText(picture.width, picture.height) +
                          " picture has no pixels, which PNG cannot hold (--format bmp writes it)";
}

// A file extract reads or that names the game's palette, with the words for what it is: never
// written over, --force or not, by whatever name or link a target reaches it.
struct GuardedFile {
  FileIdentity identity;
  std::string role;  // "the palette file (game.pal, from DIVOVOD_PALETTE)"
};
using GuardedFiles = std::vector<GuardedFile>;

void guard(GuardedFiles& guarded, const std::string& path, const std::string& role) {
  GuardedFile file;
  if (!path.empty() && identifyFile(path.c_str(), file.identity)) {
    guarded.push_back({file.identity, role});
  }
}

// The episode file, the palette in use and, even when this run uses none (--no-palette), the
// palettes DIVOVOD_PALETTE and the config file name and the config file itself: a later build
// reads them all.
GuardedFiles guardedFiles(const ExtractRequest& request) {
  GuardedFiles guarded;
  guard(guarded, request.episodeFile, "the episode file being read (" + request.episodeFile + ")");
  if (request.palette.origin != PaletteOrigin::kNone) {
    const std::string origin = paletteOriginText(request.palette);
    guard(guarded, request.palette.path,
          "the palette file (" + request.palette.path + (origin.empty() ? "" : ", from " + origin) +
              ")");
  }
  std::string variable;
  if (environmentText(kPaletteVariable, variable)) {
    guard(guarded, variable,
          "the palette file (" + variable + ", from " + std::string(kPaletteVariable) + ")");
  }
  UserSettings settings;
  ProjectProblem unread;  // a config file that cannot be read names no palette to keep
  if (readUserSettings(settings, unread)) {
    guard(
        guarded, settings.palette,
        "the palette file (" + settings.palette + ", from the config file " + settings.file + ")");
  }
  guard(guarded, configFilePath(), "the config file (" + configFilePath() + ")");
  return guarded;
}

// What stands in the way of one target, before anything is written; "" when nothing does.
std::string targetProblem(const ExtractRequest& request, const PictureOut& picture,
                          const GuardedFiles& guarded) {
  const char* path = picture.path.c_str();
  FileIdentity identity;
  if (identifyFile(path, identity)) {
    for (const GuardedFile& file : guarded) {
      if (sameFile(identity, file.identity))
        return "is " + file.role + "; it is never written over";
    }
  }
  if (!pathExists(path)) return std::string();
  std::error_code error;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::u8path(picture.path), error);
  if (std::filesystem::is_directory(status)) return "is a folder; it is never replaced";
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return "is not a regular file (a device, a pipe or a socket); only a file is replaced";
  }
  if (!request.force) return "already exists (--force replaces it)";
  return std::string();
}

// The file a name leads to, links followed, even through a link whose file does not exist yet.
std::filesystem::path resolvedTarget(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path at = fs::u8path(path);
  std::error_code error;
  for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hop) {
    const fs::path target = fs::read_symlink(at, error);
    if (error) break;
    at = target.is_absolute() ? target : at.parent_path() / target;
  }
  fs::path resolved = fs::weakly_canonical(at, error);
  return error ? at : resolved;
}

// Two target names that reach one file (a link title.bmp -> episode.bmp): the second write
// would undo the first.
std::string sharedTarget(const PictureOut (&pictures)[kTargets], int index) {
  FileIdentity mine;
  FileIdentity other;
  const bool exists = identifyFile(pictures[index].path.c_str(), mine);
  const std::filesystem::path resolved = resolvedTarget(pictures[index].path);
  for (int i = 0; i < index; ++i) {
    if (!pictures[i].wanted || !pictures[i].notWrittenWhy.empty()) continue;
    const bool same = exists && identifyFile(pictures[i].path.c_str(), other)
                          ? sameFile(mine, other)
                          : resolvedTarget(pictures[i].path) == resolved;
    if (same) {
      return "leads to the same file as " + pictures[i].path + "; each picture needs its own file";
    }
  }
  return std::string();
}

// Every target is looked at before any is written, so a refusal changes nothing on disk.
bool checkTargets(const ExtractRequest& request, const PictureOut (&pictures)[kTargets],
                  const GuardedFiles& guarded, std::ostream& err) {
  bool clear = true;
  for (int i = 0; i < kTargets; ++i) {
    if (!pictures[i].wanted || !pictures[i].notWrittenWhy.empty()) continue;
    std::string problem = targetProblem(request, pictures[i], guarded);
    if (problem.empty()) problem = sharedTarget(pictures, i);
    if (problem.empty()) continue;
    err << "divovod: " << messageText(pictures[i].path + ": " + problem) << "\n";
    clear = false;
  }
  if (!clear) err << "divovod: nothing written\n";
  return clear;
}

// A folder given with --output-dir is made when missing, with the folders that lead to it, as a
// script that extracts into a fresh folder expects.
bool makeOutputDirectory(const std::string& directory, std::ostream& err) {
  if (directory.empty()) return true;
  std::error_code failure;
  std::filesystem::create_directories(std::filesystem::u8path(directory), failure);
  if (!failure) return true;
  err << "divovod: " << messageText(directory) << ": cannot make this folder (" << failure.message()
      << ")\n";
  return false;
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

int highestIndex(const unsigned char* pixels, std::int64_t count) {
  unsigned char highest = 0;
  for (std::int64_t i = 0; i < count; ++i) highest = std::max(highest, pixels[i]);
  return highest;
}

// Writes the pictures still to be written, in file order, and finds the highest index they use.
// When one fails the rest are not tried, and the user learns which files are already new on disk.
bool writePictures(std::FILE* file, const ExtractRequest& request, const EpisodeContents& contents,
                   const Palette& palette, const FileIdentities& untouchable,
                   PictureOut (&pictures)[kTargets], std::vector<std::string>& written,
                   int& highest, std::ostream& err) {
  for (int i = 0; i < 3; ++i) {
    PictureOut& picture = pictures[i];
    if (!picture.wanted || !picture.notWrittenWhy.empty()) continue;
    PixelBlock pixels = inflatePicture(file, contents.pictures[i]);
    errno = 0;
    if (pixels) {
      highest = std::max(highest, highestIndex(pixels.get(), contents.pictures[i].pixelCount));
    }
    if (!pixels) {
      err << "divovod: " << messageText(request.episodeFile) << ": cannot inflate the "
          << picture.stem << " picture again (not enough memory, or the file changed)\n";
    } else if (!(request.png ? writePngFile : writeBitmapFile)(picture.path.c_str(), picture.width,
                                                               picture.height, pixels.get(),
                                                               palette, untouchable)) {
      err << "divovod: " << messageText(picture.path + ": " + writeReason(picture.path, errno))
          << "\n";
    } else {
      written.push_back(picture.path + " (" + sizeText(picture.width, picture.height) + ")");
      continue;
    }
    std::vector<std::string> untried;
    for (int j = i + 1; j < kTargets; ++j) {
      if (pictures[j].wanted && pictures[j].notWrittenWhy.empty())
        untried.push_back(pictures[j].path);
    }
    err << "divovod: "
        << messageText(
               (written.empty() ? "nothing written" : "already written: " + listed(written)) +
               (untried.empty() ? "" : "; not tried: " + listed(untried)))
        << "\n";
    return false;
  }
  return true;
}

// What keeps the manifest from making the very same file again; "" when nothing does.
std::string manifestObstacle(const EpisodeContents& contents,
                             const PictureOut (&pictures)[kTargets], EpisodeRecipe& recipe) {
  for (int i = 0; i < 3; ++i) {
    if (!pictures[i].wanted || !pictures[i].notWrittenWhy.empty()) {
      return std::string("the ") + pictures[i].stem +
             " picture is not written, so no build could make the file again";
    }
  }
  if (!contents.usualFixedValues) {
    return "the header's fixed fields hold values that no build writes";
  }
  const EpisodeHeader& header = contents.header;
  const struct {
    const char* key;
    const char* field;
    std::size_t width;
    std::string* text;
  } fields[2] = {{"name", header.episodeName, sizeof header.episodeName, &recipe.name},
                 {"start level", header.startLevel, sizeof header.startLevel, &recipe.startLevel}};
  for (const auto& field : fields) {
    const std::string bytes(field.field, field.width);
    const std::size_t end = bytes.find('\0');
    if (end == std::string::npos || bytes.find_first_not_of('\0', end) != std::string::npos) {
      return std::string("the ") + field.key + " field holds bytes after its end, which no " +
             "build writes";
    }
    *field.text = bytes.substr(0, end);
    if (!manifestCanHoldField(*field.text)) {
      return std::string("the ") + field.key + " is not text a manifest can hold";
    }
  }
  return std::string();
}

// The palette's path as the manifest in `directory` names it: from its own folder when both
// lie on one volume, else whole.
std::string paletteFromManifest(const std::string& palette, const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path target = fs::absolute(fs::u8path(palette), error);
  const fs::path folder = fs::absolute(fs::u8path(directory.empty() ? "." : directory), error);
  const fs::path relative = fs::relative(target, folder, error);
  return error || relative.empty() ? target.u8string() : relative.generic_u8string();
}

bool fileNamed(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::u8path(path), error);
}

EpisodeRecipe extractedRecipe(const ExtractRequest& request, const EpisodeContents& contents,
                              const PictureOut (&pictures)[kTargets]) {
  EpisodeRecipe recipe;
  // Standard input has no name of its own; a pipe's name (/dev/fd/63) is no name to build to.
  const std::filesystem::path given = std::filesystem::u8path(request.episodeFile);
  recipe.output = request.episodeFile == "-" || !fileNamed(request.episodeFile)
                      ? "episode.z4k"
                      : given.filename().u8string();
  recipe.position = contents.header.listPosition;
  for (int i = 0; i < 3; ++i) {
    recipe.pictures[i] = std::string(pictures[i].stem) + (request.png ? ".png" : ".bmp");
  }
  recipe.hasTitleSize = true;
  recipe.titleWidth = pictures[1].width;
  recipe.titleHeight = pictures[1].height;
  // The palette is always named, "" for none, so that one set elsewhere does not recolour
  // pictures whose indices are already the stored ones.
  recipe.namesPalette = true;
  if (request.palette.origin != PaletteOrigin::kNone) {
    recipe.palette = paletteFromManifest(request.palette.path, request.outputDirectory);
  }
  return recipe;
}

// A path the manifest names must reach the same file when a build reads it back: TOML strings
// are UTF-8, so on POSIX a name of other bytes has no way there. "" when every path can.
std::string unwritablePath(const ExtractRequest& request, const EpisodeRecipe& recipe) {
  if (!isUtf8(recipe.output)) return request.episodeFile;
  if (!isUtf8(recipe.palette)) return request.palette.path;
  return std::string();
}

// The comment names no file: a name in it would need escapes no TOML comment has.
bool writeManifest(const EpisodeRecipe& recipe, const FileIdentities& untouchable,
                   const PictureOut& target) {
  const std::string text = manifestText(
      recipe, {"Made by divovod extract. `divovod build` of this file writes the same episode",
               "file again; change a value or a picture and build again. Paths are taken from",
               "this file's folder."});
  PendingFile pending;
  if (!beginReplace(pending, target.path.c_str(), untouchable)) return false;
  appendBytes(pending, text.data(), text.size());
  return commitReplace(pending);
}

}  // namespace

int runExtract(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ExtractRequest request;
  ParsedOptions parsed;
  bool help = false;
  UsageError error = extractRequest(arguments, request, parsed, help);
  if (!error.message.empty()) return usageError(err, error.message);
  if (help) {
    out << (has(parsed, "help") ? kExtractHelp : programVersion())
        << (has(parsed, "help") ? "" : "\n");
    return kExitDone;
  }
  const int choosing = choosePalette(parsed, nullptr, request.palette, err);
  if (choosing != kGoOn) return choosing;
  Palette palette = greyRamp();
  if (request.palette.origin != PaletteOrigin::kNone) {
    if (!loadPalette(request.palette.path, palette, err)) return kExitFailed;
  }
  errno = 0;
  FileKind kind = FileKind::kMissing;
  FileHandle file(openEpisodeInput(request.episodeFile, kind));
  if (!file) {
    err << "divovod: "
        << messageText(request.episodeFile + ": " +
                       episodeInputProblem(request.episodeFile, errno, kind))
        << "\n";
    return kExitFailed;
  }
  // The title is checked by what zlib allows alone, so that a --title-size of the wrong pixel
  // count can be told the title's real count.
  const EpisodeContents contents = readEpisode(file.get());
  if (!episodeIntact(contents)) {
    for (const std::string& problem : episodeProblems(contents)) {
      err << "divovod: " << messageText(request.episodeFile + ": " + problem) << "\n";
    }
    return kExitFailed;
  }
  const std::int64_t titlePixels = contents.pictures[1].pixelCount;
  if (guessTitleSize(contents, request.titleWidth, request.titleHeight).source ==
      TitleSizeSource::kGivenMismatch) {
    err << "divovod: --title-size " << sizeText(request.titleWidth, request.titleHeight) << " is "
        << std::int64_t{request.titleWidth} * request.titleHeight
        << " pixels, but the title picture holds " << titlePixels << "; nothing written\n";
    return kExitFailed;
  }
  const EpisodeHeader& header = contents.header;
  PictureOut pictures[kTargets] = {
      {"episode", header.episodeImageWidth, header.episodeImageHeight, true, {}, {}},
      {"title", 0, 0, false, {}, {}},
      {"lowtitle", header.lowtitleImageWidth, header.lowtitleImageHeight, true, {}, {}},
      {"episode manifest", 0, 0, request.manifest, {}, {}}};
  pictures[1].wanted = chooseTitleSize(request, contents, pictures[1]);
  if (!pictures[1].wanted) {
    // All or nothing, as every other refusal: a retry with --title-size then needs no --force.
    const std::int64_t count = contents.pictures[1].pixelCount;
    err << "divovod: " << messageText(request.episodeFile)
        << ": the title's size is not stored, and its " << count
        << " pixels match neither stored size; give --title-size WxH" << titleSizeHint(count)
        << "; nothing written\n";
    return kExitFailed;
  }
  bool anyToWrite = false;
  for (int i = 0; i < 3; ++i) {
    PictureOut& picture = pictures[i];
    picture.path = joinPath(request.outputDirectory,
                            (std::string(picture.stem) + (request.png ? ".png" : ".bmp")).c_str());
    if (picture.wanted && picture.notWrittenWhy.empty()) {
      if (request.png) {
        leaveOutEmptyPng(picture);
      } else {
        leaveOutTooLarge(picture);
      }
    }
    anyToWrite = anyToWrite || (picture.wanted && picture.notWrittenWhy.empty());
  }
  pictures[kManifest].path = joinPath(request.outputDirectory, "episode.toml");
  EpisodeRecipe recipe = extractedRecipe(request, contents, pictures);
  if (request.manifest) {
    pictures[kManifest].notWrittenWhy = manifestObstacle(contents, pictures, recipe);
  }
  PictureOut& manifest = pictures[kManifest];
  if (manifest.wanted && manifest.notWrittenWhy.empty()) {
    const std::string unwritable = unwritablePath(request, recipe);
    if (!unwritable.empty()) {
      err << "divovod: " << messageText(unwritable)
          << ": the name is not UTF-8 text, so no manifest can name this file (--no-manifest "
             "writes the pictures alone); nothing written\n";
      return kExitFailed;
    }
  }
  const GuardedFiles guarded = guardedFiles(request);
  if (!checkTargets(request, pictures, guarded, err)) return kExitFailed;
  if (anyToWrite && !makeOutputDirectory(request.outputDirectory, err)) return kExitFailed;
  FileIdentities untouchable;
  for (const GuardedFile& file : guarded) untouchable.push_back(file.identity);
  std::vector<std::string> written;
  int highest = 0;
  if (!writePictures(file.get(), request, contents, palette, untouchable, pictures, written,
                     highest, err)) {
    return kExitFailed;
  }
  // A build keeps an indexed picture's own indices only when each one it uses is an entry of the
  // game's palette with that entry's colour (the pictures carry the palette's colours); past its
  // last entry it maps them to others. Then the manifest names no palette, and the indices stay.
  if (manifest.wanted && manifest.notWrittenWhy.empty() && !recipe.palette.empty() &&
      highest >= palette.colourCount) {
    recipe.palette.clear();
    err << "divovod: the manifest names no palette: the pictures use index " << highest
        << ", past the palette's " << palette.colourCount
        << " colours, and a build with it would change them\n";
  }
  if (manifest.wanted && manifest.notWrittenWhy.empty()) {
    errno = 0;
    if (!writeManifest(recipe, untouchable, manifest)) {
      err << "divovod: " << messageText(manifest.path + ": " + writeReason(manifest.path, errno))
          << "\n";
      err << "divovod: " << messageText("already written: " + listed(written)) << "\n";
      return kExitFailed;
    }
    written.push_back(manifest.path);
  }
  if (request.palette.origin == PaletteOrigin::kNone && !written.empty()) {
    err << "divovod: the pictures have a grey ramp for colours: the episode file stores no "
           "palette (--palette FILE gives the game's)\n";
  }
  const std::string note = paletteNote(request.palette);
  if (!written.empty()) {
    out << "divovod: wrote " << messageText(listed(written) + (note.empty() ? "" : "; " + note))
        << "\n";
  }
  int status = kExitDone;
  for (const PictureOut& picture : pictures) {
    if (picture.notWrittenWhy.empty()) continue;
    err << "divovod: " << messageText(picture.path + " not written: " + picture.notWrittenWhy)
        << "\n";
    // A manifest that no build could make the file from is left out, and said so; the pictures
    // are what was asked for.
    if (&picture != &manifest) status = kExitFailed;
  }
  return status;
}
