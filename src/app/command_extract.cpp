// divovod extract: the pictures of an episode file written out as plain bitmaps.
#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "bitmap_export.h"
#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "file_open.h"
#include "import_reasons.h"
#include "write_reasons.h"

namespace {

const char* const kExtractHelp =
    "usage: divovod extract FILE [--output-dir DIR] [--palette FILE]\n"
    "                            [--title-size WxH] [--force]\n"
    "\n"
    "Writes episode.bmp, title.bmp and lowtitle.bmp as plain 8-bit bitmaps.\n"
    "\n"
    "  -d, --output-dir DIR  where to write them (default: the current folder; made if missing)\n"
    "      --palette FILE    the colours to give them (default: a grey ramp): JASC-PAL,\n"
    "                        GIMP .gpl, .act, RIFF, raw VGA, or an indexed bitmap or PNG\n"
    "      --title-size WxH  the title's size, which the file does not store (default: the\n"
    "                        episode or lowtitle size when its pixel count matches)\n"
    "  -f, --force           replace files that already exist\n"
    "  -h, --help            this help\n"
    "\n"
    "Example:\n"
    "  divovod extract caves.z4k -d caves --palette game.bmp\n"
    "\n"
    "Exit status: 0 written, 1 the file is damaged or a write failed, 2 a usage error.\n";

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

}  // namespace

int runExtract(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ExtractRequest request;
  bool help = false;
  UsageError error = extractRequest(arguments, request, help);
  if (!error.message.empty()) return usageError(err, error.message);
  if (help) {
    out << kExtractHelp;
    return kExitDone;
  }
  Palette palette = greyRamp();
  if (!request.paletteFile.empty()) {
    if (!loadPalette(request.paletteFile, palette, err)) return kExitFailed;
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
