// divovod diff: what differs between two episode files, field by field and picture by picture.
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "file_open.h"
#include "import_reasons.h"
#include "title_size.h"

namespace {

const char* const kDiffHelp =
    "usage: divovod diff [--json] [--title-size WxH] A B\n"
    "\n"
    "A or B may be -, standard input.\n"
    "Says what differs between two episode files: each header field that differs (old -> new)\n"
    "and, for each picture, whether it is the same, its change of size, or how many pixels\n"
    "differ and the box they lie in. Pictures are compared by their pixels, so a picture\n"
    "stored with other compression is still the same.\n"
    "\n"
    "  -j, --json            one JSON object instead of text\n"
    "      --title-size WxH  the title's size, for the box its changed pixels lie in (default:\n"
    "                        the episode or lowtitle size when its pixel count matches)\n"
    "  -h, --help            this help\n"
    "\n"
    "Example:\n"
    "  divovod diff caves-v1.z4k caves.z4k\n"
    "\n"
    "Exit status: 0 the files hold the same episode, 1 they differ, 2 one cannot be read or is\n"
    "damaged, or a usage error.\n";

const char* const kPictureNames[3] = {"episode image", "title image", "lowtitle image"};
const char* const kPictureKeys[3] = {"episode", "title", "lowtitle"};

struct Side {
  std::string name;
  FileHandle file;
  EpisodeContents contents;
};

// Opens and checks one side; false after saying why it cannot be compared.
bool readSide(Side& side, std::ostream& err) {
  errno = 0;
  FileKind kind = FileKind::kMissing;
  side.file.reset(openEpisodeInput(side.name, kind));
  if (!side.file) {
    err << "divovod: "
        << messageText(side.name + ": " + episodeInputProblem(side.name, errno, kind)) << "\n";
    return false;
  }
  side.contents = readEpisode(side.file.get());
  if (episodeIntact(side.contents)) return true;
  for (const std::string& problem : episodeProblems(side.contents)) {
    err << "divovod: " << messageText(side.name + ": " + problem) << "\n";
  }
  return false;
}

struct FieldChange {
  std::string key;  // for JSON
  std::string label;
  nlohmann::json before;
  nlohmann::json after;
  std::string shownBefore;
  std::string shownAfter;
};

std::string sizeText(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::vector<FieldChange> headerChanges(const EpisodeHeader& a, const EpisodeHeader& b) {
  std::vector<FieldChange> changes;
  auto number = [&](const char* key, const char* label, std::int32_t x, std::int32_t y) {
    if (x != y) changes.push_back({key, label, x, y, std::to_string(x), std::to_string(y)});
  };
  auto text = [&](const char* key, const char* label, const char* x, const char* y,
                  std::size_t width) {
    const std::string first = fieldText(x, width);
    const std::string second = fieldText(y, width);
    if (first == second) return;
    changes.push_back({key, label, jsonText(first), jsonText(second),
                       "\"" + terminalText(first) + "\"", "\"" + terminalText(second) + "\""});
  };
  auto size = [&](const char* key, const char* label, std::int32_t xw, std::int32_t xh,
                  std::int32_t yw, std::int32_t yh) {
    if (xw == yw && xh == yh) return;
    changes.push_back(
        {key, label, sizeText(xw, xh), sizeText(yw, yh), sizeText(xw, xh), sizeText(yw, yh)});
  };
  number("position", "position", a.listPosition, b.listPosition);
  text("name", "name", a.episodeName, b.episodeName, sizeof a.episodeName);
  text("start_level", "start level", a.startLevel, b.startLevel, sizeof a.startLevel);
  size("episode_image_size", "episode image size", a.episodeImageWidth, a.episodeImageHeight,
       b.episodeImageWidth, b.episodeImageHeight);
  size("lowtitle_image_size", "lowtitle image size", a.lowtitleImageWidth, a.lowtitleImageHeight,
       b.lowtitleImageWidth, b.lowtitleImageHeight);
  number("field_8", "the field at offset 8", a.one, b.one);
  number("field_12", "the field at offset 12", a.zero, b.zero);
  number("field_184", "the field at offset 184", a.fixed184, b.fixed184);
  number("field_188", "the field at offset 188", a.fixed188, b.fixed188);
  number("field_200", "the field at offset 200", a.fixed200, b.fixed200);
  number("field_204", "the field at offset 204", a.fixed204, b.fixed204);
  return changes;
}

struct PictureChange {
  bool same = true;
  bool storedAlike = true;   // the streams are the same bytes
  bool sizeChanged = false;  // then the pixels are not compared
  std::string before;        // the sizes when they differ
  std::string after;
  std::int64_t differing = 0;
  std::int64_t pixels = 0;
  std::int32_t width = 0;  // 0: the title's width is unknown, and so is the box
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool unreadable = false;
};

void comparePixels(Side& a, Side& b, int i, PictureChange& change) {
  const PixelBlock first = inflatePicture(a.file.get(), a.contents.pictures[i]);
  const PixelBlock second = inflatePicture(b.file.get(), b.contents.pictures[i]);
  if (!first || !second) {
    change.unreadable = true;
    return;
  }
  const unsigned char* x = first.get();
  const unsigned char* y = second.get();
  bool any = false;
  for (std::int64_t at = 0; at < change.pixels; ++at) {
    if (x[at] == y[at]) continue;
    ++change.differing;
    if (change.width <= 0) continue;
    const std::int32_t column = static_cast<std::int32_t>(at % change.width);
    const std::int32_t row = static_cast<std::int32_t>(at / change.width);
    change.left = any ? std::min(change.left, column) : column;
    change.right = any ? std::max(change.right, column) : column;
    change.top = any ? change.top : row;
    change.bottom = row;
    any = true;
  }
  change.same = change.differing == 0;
}

bool sameStream(Side& a, Side& b, int i) {
  const std::vector<unsigned char> x = storedStream(a.file.get(), a.contents.pictures[i]);
  const std::vector<unsigned char> y = storedStream(b.file.get(), b.contents.pictures[i]);
  return !x.empty() && x == y;
}

PictureChange comparePicture(Side& a, Side& b, int i, std::int32_t givenWidth,
                             std::int32_t givenHeight) {
  PictureChange change;
  const EpisodeHeader& x = a.contents.header;
  const EpisodeHeader& y = b.contents.header;
  const std::int32_t widths[2][3] = {{x.episodeImageWidth, 0, x.lowtitleImageWidth},
                                     {y.episodeImageWidth, 0, y.lowtitleImageWidth}};
  const std::int32_t heights[2][3] = {{x.episodeImageHeight, 0, x.lowtitleImageHeight},
                                      {y.episodeImageHeight, 0, y.lowtitleImageHeight}};
  const std::int64_t counts[2] = {a.contents.pictures[i].pixelCount,
                                  b.contents.pictures[i].pixelCount};
  const bool sizesDiffer = i == 1 ? counts[0] != counts[1]
                                  : widths[0][i] != widths[1][i] || heights[0][i] != heights[1][i];
  if (sizesDiffer) {
    change.same = false;
    change.storedAlike = false;
    change.sizeChanged = true;
    change.before =
        i == 1 ? std::to_string(counts[0]) + " pixels" : sizeText(widths[0][i], heights[0][i]);
    change.after =
        i == 1 ? std::to_string(counts[1]) + " pixels" : sizeText(widths[1][i], heights[1][i]);
    return change;
  }
  change.pixels = counts[0];
  // The title's width for its box, as guessed; 0 (no box) when it stays unknown.
  const TitleSize title = guessTitleSize(a.contents, givenWidth, givenHeight);
  change.width = i != 1 ? widths[0][i] : titleSizeKnown(title) ? title.width : 0;
  if (sameStream(a, b, i)) return change;
  change.storedAlike = false;
  comparePixels(a, b, i, change);
  return change;
}

std::string pictureText(const PictureChange& change) {
  if (change.unreadable) return "cannot be read again (not enough memory, or a file changed)";
  if (change.sizeChanged) return change.before + " -> " + change.after;
  if (change.same) return change.storedAlike ? "same" : "same pixels, stored differently";
  std::string text =
      std::to_string(change.differing) + " of " + std::to_string(change.pixels) + " pixels differ";
  if (change.width > 0) {
    text += ", within x " + std::to_string(change.left) + ".." + std::to_string(change.right) +
            ", y " + std::to_string(change.top) + ".." + std::to_string(change.bottom);
  }
  return text;
}

nlohmann::json pictureJson(int i, const PictureChange& change) {
  nlohmann::json picture = {{"picture", kPictureKeys[i]}, {"same", change.same}};
  if (change.unreadable) picture["error"] = pictureText(change);
  if (change.sizeChanged) {
    picture["old_size"] = change.before;
    picture["new_size"] = change.after;
  } else if (!change.same) {
    picture["pixels"] = change.pixels;
    picture["pixels_differ"] = change.differing;
    if (change.width > 0) {
      picture["box"] = {{"x", change.left},
                        {"y", change.top},
                        {"width", change.right - change.left + 1},
                        {"height", change.bottom - change.top + 1}};
    }
  } else {
    picture["stored_alike"] = change.storedAlike;
  }
  return picture;
}

}  // namespace

int runDiff(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> rules = {
      {"json", 'j', false}, {"title-size", 0, true}, {"help", 'h', false}};
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, kDiffHelp, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (parsed.positional.size() != 2) return usageError(err, "diff needs two episode files");
  if (parsed.positional[0] == "-" && parsed.positional[1] == "-") {
    return usageError(err, "only one of the two files can be standard input");
  }
  std::int32_t givenWidth = -1;
  std::int32_t givenHeight = -1;
  if (has(parsed, "title-size") &&
      !parseTitleSize(value(parsed, "title-size"), givenWidth, givenHeight)) {
    return usageError(err, "--title-size needs WIDTHxHEIGHT, for example 320x200, not '" +
                               value(parsed, "title-size") + "'");
  }
  Side sides[2];
  sides[0].name = parsed.positional[0];
  sides[1].name = parsed.positional[1];
  if (!readSide(sides[0], err) || !readSide(sides[1], err)) return kExitUsage;
  // A size given for the title is held to each file's title, as show and extract hold it.
  for (const Side& side : sides) {
    if (guessTitleSize(side.contents, givenWidth, givenHeight).source ==
        TitleSizeSource::kGivenMismatch) {
      err << "divovod: " << messageText(side.name) << ": --title-size "
          << sizeText(givenWidth, givenHeight) << " is " << std::int64_t{givenWidth} * givenHeight
          << " pixels, but the title picture holds " << side.contents.pictures[1].pixelCount
          << "\n";
      return kExitUsage;
    }
  }

  const std::vector<FieldChange> fields =
      headerChanges(sides[0].contents.header, sides[1].contents.header);
  PictureChange pictures[3];
  bool same = fields.empty();
  for (int i = 0; i < 3; ++i) {
    pictures[i] = comparePicture(sides[0], sides[1], i, givenWidth, givenHeight);
    if (pictures[i].unreadable) {
      err << "divovod: " << kPictureNames[i] << ": " << pictureText(pictures[i]) << "\n";
      return kExitUsage;
    }
    same = same && pictures[i].same;
  }
  if (has(parsed, "json")) {
    nlohmann::json report = {{"old", jsonText(sides[0].name)},
                             {"new", jsonText(sides[1].name)},
                             {"same", same},
                             {"header", nlohmann::json::object()},
                             {"pictures", nlohmann::json::array()}};
    for (const FieldChange& change : fields) {
      report["header"][change.key] = {{"old", change.before}, {"new", change.after}};
    }
    for (int i = 0; i < 3; ++i) report["pictures"].push_back(pictureJson(i, pictures[i]));
    out << report.dump() << "\n";
  } else {
    for (const FieldChange& change : fields) {
      out << change.label << ": " << change.shownBefore << " -> " << change.shownAfter << "\n";
    }
    for (int i = 0; i < 3; ++i) out << kPictureNames[i] << ": " << pictureText(pictures[i]) << "\n";
  }
  return same ? kExitDone : kExitFailed;
}
