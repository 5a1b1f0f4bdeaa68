// divovod show: an episode file's header, whether every picture in it is whole, and on request
// the pictures themselves drawn in the terminal.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "bitmap_writer.h"
#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "file_open.h"
#include "import_reasons.h"
#include "preview.h"
#include "terminal_output.h"
#include "title_size.h"

namespace {

const char* const kShowHelp =
    "usage: divovod show [--json] FILE...\n"
    "       divovod show --preview [--palette FILE | --no-palette] [--width N]\n"
    "                    [--title-size WxH] FILE...\n"
    "\n"
    "Prints the header of each episode file and checks every picture in it: the verdict is\n"
    "intact when every stream inflates completely to the pixels its size gives. A FILE of -\n"
    "is standard input; it and a pipe are read whole.\n"
    "\n"
    "  -j, --json            one JSON value instead of text: an object for one file, an array\n"
    "                        for several; a file that cannot be read is {\"file\", \"intact\":\n"
    "                        false, \"error\"}\n"
    "  -P, --preview         draw the pictures after the header, two pixels a character cell\n"
    "                        (24-bit colour when COLORTERM is truecolor or 24bit, else the\n"
    "                        256-colour palette; two spaces a pixel outside a UTF-8 locale)\n"
    "      --palette FILE    the colours to draw with, from any palette file (default:\n"
    "                        DIVOVOD_PALETTE or the config file's, else a grey ramp)\n"
    "      --no-palette      a grey ramp, whatever DIVOVOD_PALETTE or the config says\n"
    "      --width N         columns to fit in (default: the terminal's width, else COLUMNS,\n"
    "                        else 80); a wider picture is drawn 1 pixel in 2, 3...\n"
    "      --title-size WxH  the title's size, which the file does not store (default: the\n"
    "                        episode or lowtitle size when its pixel count matches)\n"
    "  -h, --help            this help\n"
    "\n"
    "It writes nothing but to the standard output.\n"
    "\n"
    "Examples:\n"
    "  divovod show caves.z4k\n"
    "  divovod show --json *.z4k\n"
    "  divovod show --preview --palette game.bmp caves.z4k\n"
    "\n"
    "Exit status: 0 every file is whole, 1 one is missing or damaged, 2 a usage error.\n";

struct PreviewRequest {
  bool wanted = false;
  PaletteChoice palette;
  std::int64_t columns = 0;
  std::int32_t titleWidth = -1;  // -1: not given
  std::int32_t titleHeight = -1;
};

// The preview's options; "" when they are right, else the usage error.
std::string previewRequest(const ParsedOptions& parsed, PreviewRequest& request) {
  request.wanted = has(parsed, "preview");
  for (const char* option : {"palette", "no-palette", "width", "title-size"}) {
    if (has(parsed, option) && !request.wanted) {
      return std::string("--") + option + " goes with --preview";
    }
  }
  if (request.wanted && has(parsed, "json"))
    return "--preview draws pictures; it cannot go with --json";
  if (has(parsed, "width")) {
    std::int32_t width = 0;
    if (!parseInt32(value(parsed, "width"), width) || width < 1) {
      return "--width needs a number of columns of 1 or more, not '" + value(parsed, "width") + "'";
    }
    request.columns = width;
  }
  if (has(parsed, "title-size") &&
      !parseTitleSize(value(parsed, "title-size"), request.titleWidth, request.titleHeight)) {
    return "--title-size needs WIDTHxHEIGHT, for example 320x200, not '" +
           value(parsed, "title-size") + "'";
  }
  return std::string();
}

// --width, else the terminal's own width, else COLUMNS as shells set it, else 80.
std::int64_t previewColumns(const PreviewRequest& request) {
  if (request.columns > 0) return request.columns;
  const int terminal = outputColumns();
  if (terminal > 0) return terminal;
  const char* columns = std::getenv("COLUMNS");
  std::int32_t number = 0;
  if (columns != nullptr && *columns != '\0' && parseInt32(columns, number) && number > 0) {
    return number;
  }
  return 80;
}

PreviewStyle previewStyle() {
  const char* colourTerm = std::getenv("COLORTERM");
  const std::string colours = colourTerm ? colourTerm : "";
  PreviewStyle style;
  style.trueColour = colours == "truecolor" || colours == "24bit";
  style.halfBlocks = outputTakesUtf8();
  return style;
}

std::string label(const char* text, const std::string& value) {
  std::string line = text;
  line.resize(16, ' ');
  return line + value + "\n";
}

// The title's size as guessed (title_size.h); false with the reason when it stays unknown.
bool titleSize(const PreviewRequest& request, const EpisodeContents& contents, std::int32_t& width,
               std::int32_t& height, std::string& why) {
  const TitleSize size = guessTitleSize(contents, request.titleWidth, request.titleHeight);
  width = size.width;
  height = size.height;
  if (titleSizeKnown(size)) return true;
  const std::int64_t count = contents.pictures[1].pixelCount;
  if (size.source == TitleSizeSource::kGivenMismatch) {
    why = "--title-size " + std::to_string(width) + "x" + std::to_string(height) + " is " +
          std::to_string(std::int64_t{width} * height) + " pixels, but the title holds " +
          std::to_string(count);
  } else {
    why = "its size is not stored and its " + std::to_string(count) +
          " pixels match neither stored size; give --title-size WxH";
  }
  return false;
}

// One picture, read from the file a block at a time and drawn as it comes: only the kept rows
// are held, whatever the picture's size.
bool drawPicture(std::FILE* file, const PictureBlock& block, std::int32_t width,
                 std::int32_t height, const Palette& palette, const PreviewRequest& request,
                 std::ostream& out) {
  PreviewSampler sampler =
      startPreview(width, height, previewColumns(request), palette, previewStyle());
  std::string lines;
  const bool whole = streamPicture(file, block, [&](const unsigned char* pixels, std::size_t n) {
    feedPreview(sampler, pixels, n, lines);
    if (lines.size() >= 64 * 1024) {
      writeColouredText(out, lines);
      lines.clear();
    }
  });
  finishPreview(sampler, lines);
  writeColouredText(out, lines);
  return whole;
}

void drawPictures(std::FILE* file, const EpisodeContents& contents, const Palette& palette,
                  const PreviewRequest& request, std::ostream& out) {
  static const char* const kNames[3] = {"episode image", "title image", "lowtitle image"};
  const EpisodeHeader& header = contents.header;
  std::int32_t widths[3] = {header.episodeImageWidth, 0, header.lowtitleImageWidth};
  std::int32_t heights[3] = {header.episodeImageHeight, 0, header.lowtitleImageHeight};
  std::string titleWhy;
  const bool titleKnown = titleSize(request, contents, widths[1], heights[1], titleWhy);
  if (request.palette.origin == PaletteOrigin::kNone) {
    out << label("colours", "a grey ramp (the file stores no palette; --palette FILE gives one)");
  } else if (request.palette.origin != PaletteOrigin::kCommandLine) {
    out << label("colours",
                 request.palette.path + " (from " + paletteOriginText(request.palette) + ")");
  }
  for (int i = 0; i < 3; ++i) {
    const PictureBlock& block = contents.pictures[i];
    if (block.problem != PictureProblem::kNone) {
      out << label("preview", std::string(kNames[i]) + " not drawn: it is damaged");
      continue;
    }
    if (i == 1 && !titleKnown) {
      out << label("preview", std::string(kNames[i]) + " not drawn: " + titleWhy);
      continue;
    }
    const std::int64_t step =
        previewStep(widths[i], previewColumns(request), previewStyle().halfBlocks);
    out << label("preview",
                 std::string(kNames[i]) + ", " + std::to_string(widths[i]) + " x " +
                     std::to_string(heights[i]) +
                     (step > 1 ? ", drawn 1 pixel in " + std::to_string(step) + " each way" : ""));
    if (!drawPicture(file, block, widths[i], heights[i], palette, request, out)) {
      out << label("preview", "the file changed while it was drawn");
    }
  }
}

}  // namespace

int runShow(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> rules = {
      {"json", 'j', false}, {"preview", 'P', false}, {"palette", 0, true}, {"no-palette", 0, false},
      {"width", 0, true},   {"title-size", 0, true}, {"help", 'h', false}};
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, kShowHelp, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (parsed.positional.empty()) return usageError(err, "show needs at least one file");
  PreviewRequest preview;
  const std::string problem = previewRequest(parsed, preview);
  if (!problem.empty()) return usageError(err, problem);
  Palette palette = greyRamp();
  if (preview.wanted) {
    const int choosing = choosePalette(parsed, nullptr, preview.palette, err);
    if (choosing != kGoOn) return choosing;
    if (preview.palette.origin != PaletteOrigin::kNone &&
        !loadPalette(preview.palette.path, palette, err)) {
      return kExitFailed;
    }
  }
  const bool json = has(parsed, "json");
  const std::size_t count = parsed.positional.size();
  // Reports are small (the pictures are only counted), so all of them can wait for the one JSON
  // value; text goes out file by file.
  std::vector<EpisodeContents> contents(count);
  std::vector<ShownFile> shown(count);
  int status = kExitDone;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = parsed.positional[i];
    shown[i].name = name;
    errno = 0;
    FileKind kind = FileKind::kMissing;
    FileHandle file(openEpisodeInput(name, kind));
    if (!file) {
      shown[i].error = episodeInputProblem(name, errno, kind);
      err << "divovod: " << messageText(name + ": " + shown[i].error) << "\n";
      status = kExitFailed;
      continue;
    }
    contents[i] = readEpisode(file.get());
    shown[i].contents = &contents[i];
    if (!episodeIntact(contents[i])) status = kExitFailed;
    if (json) continue;
    if (i > 0) out << "\n";
    out << showAsText(name, contents[i]);
    // A header that is not sane leaves no size to draw by.
    if (preview.wanted && contents[i].headerRead &&
        contents[i].headerProblem == HeaderProblem::kNone) {
      drawPictures(file.get(), contents[i], palette, preview, out);
    }
    out << std::flush;
  }
  if (json) out << showAsJson(shown);
  return status;
}
