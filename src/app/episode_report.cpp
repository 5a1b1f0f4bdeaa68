#include "episode_report.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

const char* const kPictureNames[3] = {"episode image", "title image", "lowtitle image"};
const char* const kPictureKeys[3] = {"episode", "title", "lowtitle"};

std::string number(long long value) { return std::to_string(value); }

std::string sizeText(std::int32_t width, std::int32_t height) {
  return number(width) + " x " + number(height);
}

std::string headerProblemText(const EpisodeContents& contents) {
  const EpisodeHeader& header = contents.header;
  switch (contents.headerProblem) {
    case HeaderProblem::kNone:
      return std::string();
    case HeaderProblem::kTooShort:
      return "the file is " + number(contents.fileSize) +
             " bytes long, shorter than the 208-byte header: not an episode file";
    case HeaderProblem::kNotAnEpisodeFile:
      return "the leading field is " + number(header.headerSize) + ", not 204: not an episode file";
    case HeaderProblem::kBadEpisodeSize:
      return "the episode image size " +
             sizeText(header.episodeImageWidth, header.episodeImageHeight) +
             " is negative or too large";
    case HeaderProblem::kBadLowtitleSize:
      return "the lowtitle image size " +
             sizeText(header.lowtitleImageWidth, header.lowtitleImageHeight) +
             " is negative or too large";
    case HeaderProblem::kNameNotEnded:
      return "the name field has no terminating zero byte";
    case HeaderProblem::kStartLevelNotEnded:
      return "the start-level field has no terminating zero byte";
  }
  return "the header is damaged";
}

std::string expectedText(const PictureBlock& block, bool titleSizeGiven, int picture) {
  if (picture == 1 && titleSizeGiven) {
    return number(block.expectedPixels) + " pixels of the size given with --title-size";
  }
  return number(block.expectedPixels) + " pixels its size in the header gives";
}

std::string pictureProblemText(const EpisodeContents& contents, int picture, bool titleSizeGiven) {
  const PictureBlock& block = contents.pictures[picture];
  const std::string size = number(block.streamSize);
  switch (block.problem) {
    case PictureProblem::kNone:
    case PictureProblem::kNotReached:
      return std::string();
    case PictureProblem::kSizeMissing:
      return "the file ends before its size field at offset " + number(block.offset);
    case PictureProblem::kNegativeSize:
      return "its stream size " + size + " is negative";
    case PictureProblem::kPastEnd:
      return "its stream size " + size + " runs past the end of the file (" +
             number(contents.fileSize - block.offset - 4) + " bytes follow its size field)";
    case PictureProblem::kCorrupt:
      return std::string("its stream is corrupt (zlib: ") +
             (block.zlibMessage ? block.zlibMessage : "invalid data") + ")";
    case PictureProblem::kCutShort:
      return "its stream is cut short: its " + size + " bytes end before the stream does";
    case PictureProblem::kTooManyPixels:
      if (block.expectedPixels < 0) {
        return "its stream inflates past 1032 times its own size, more than zlib can give";
      }
      return "its stream inflates past the " + expectedText(block, titleSizeGiven, picture);
    case PictureProblem::kTooFewPixels:
      return "its stream holds " + number(block.pixelCount) + " pixels, not the " +
             expectedText(block, titleSizeGiven, picture);
    case PictureProblem::kLeftoverBytes:
      return "its block holds bytes after the end of its stream";
  }
  return "its block is damaged";
}

// Bytes of a text field as they may safely reach a terminal: control bytes written as \xNN.
std::string printable(const std::string& text) {
  std::string shown;
  for (unsigned char byte : text) {
    if (byte < 0x20 || byte == 0x7F || byte == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

std::string line(const char* label, const std::string& value) {
  std::string text = label;
  text.resize(16, ' ');
  return text + value + "\n";
}

std::string pictureLine(const EpisodeContents& contents, int picture) {
  const PictureBlock& block = contents.pictures[picture];
  if (block.problem == PictureProblem::kNotReached) return "not reached";
  if (block.problem == PictureProblem::kSizeMissing) return "missing";
  std::string text = "block at offset " + number(block.offset) + ", stream of " +
                     number(block.streamSize) + " bytes";
  if (block.problem == PictureProblem::kNegativeSize || block.problem == PictureProblem::kPastEnd) {
    return text + ", damaged";
  }
  text += ": " + number(block.pixelCount) + " pixels";
  return text + (block.problem == PictureProblem::kNone ? ", intact" : ", damaged");
}

nlohmann::json pictureJson(const EpisodeContents& contents, int picture) {
  const PictureBlock& block = contents.pictures[picture];
  const bool sizeRead =
      block.problem != PictureProblem::kNotReached && block.problem != PictureProblem::kSizeMissing;
  const bool inflated = sizeRead && block.problem != PictureProblem::kNegativeSize &&
                        block.problem != PictureProblem::kPastEnd;
  const std::string problem = pictureProblemText(contents, picture, false);
  nlohmann::json json = {
      {"picture", kPictureKeys[picture]},
      {"offset", block.problem == PictureProblem::kNotReached ? nlohmann::json(nullptr)
                                                              : nlohmann::json(block.offset)},
      {"stream_size", sizeRead ? nlohmann::json(block.streamSize) : nullptr},
      {"pixels", inflated ? nlohmann::json(block.pixelCount) : nullptr},
      {"intact", block.problem == PictureProblem::kNone},
      {"problem", problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(problem)}};
  if (block.problem == PictureProblem::kNotReached) json["problem"] = "not reached";
  return json;
}

nlohmann::json headerJson(const EpisodeContents& contents) {
  const EpisodeHeader& header = contents.header;
  return {{"header_size", header.headerSize},
          {"position", header.listPosition},
          {"name", fieldText(header.episodeName, sizeof header.episodeName)},
          {"start_level", fieldText(header.startLevel, sizeof header.startLevel)},
          {"episode_image",
           {{"width", header.episodeImageWidth}, {"height", header.episodeImageHeight}}},
          {"lowtitle_image",
           {{"width", header.lowtitleImageWidth}, {"height", header.lowtitleImageHeight}}},
          {"usual_fixed_values", contents.usualFixedValues}};
}

bool blocksPlaced(const EpisodeContents& contents) {
  for (const PictureBlock& block : contents.pictures) {
    if (block.problem == PictureProblem::kNotReached ||
        block.problem == PictureProblem::kSizeMissing ||
        block.problem == PictureProblem::kNegativeSize ||
        block.problem == PictureProblem::kPastEnd) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string fieldText(const char* field, std::size_t width) {
  const void* end = std::memchr(field, 0, width);
  return std::string(field, end ? static_cast<const char*>(end) - field : width);
}

std::vector<std::string> episodeProblems(const EpisodeContents& contents, bool titleSizeGiven) {
  std::vector<std::string> problems;
  std::string header = headerProblemText(contents);
  if (!header.empty()) problems.push_back(header);
  for (int picture = 0; picture < 3; ++picture) {
    std::string text = pictureProblemText(contents, picture, titleSizeGiven);
    if (!text.empty()) problems.push_back(std::string(kPictureNames[picture]) + ": " + text);
  }
  if (contents.bytesAfterLastPicture > 0) {
    problems.push_back(number(contents.bytesAfterLastPicture) +
                       " bytes follow the end of the last picture");
  }
  return problems;
}

std::string showAsText(const std::string& fileName, const EpisodeContents& contents) {
  std::string text = line("file", printable(fileName));
  text += line("size", number(contents.fileSize) + " bytes");
  if (contents.headerRead) {
    const EpisodeHeader& header = contents.header;
    text += line("position", number(header.listPosition));
    text += line("name", printable(fieldText(header.episodeName, sizeof header.episodeName)));
    text += line("start level", printable(fieldText(header.startLevel, sizeof header.startLevel)));
    text += line("episode size", sizeText(header.episodeImageWidth, header.episodeImageHeight));
    text += line("lowtitle size", sizeText(header.lowtitleImageWidth, header.lowtitleImageHeight));
    text += line("fixed values", contents.usualFixedValues ? "usual" : "unusual");
    for (int picture = 0; picture < 3; ++picture) {
      text += line(kPictureNames[picture], pictureLine(contents, picture));
    }
  }
  const std::vector<std::string> problems = episodeProblems(contents);
  text += line("verdict", problems.empty() ? "intact" : "damaged");
  for (const std::string& problem : problems) text += line("problem", printable(problem));
  return text;
}

std::string showAsJson(const std::string& fileName, const EpisodeContents& contents) {
  const std::vector<std::string> problems = episodeProblems(contents);
  nlohmann::json json = {{"file", fileName},
                         {"size", contents.fileSize},
                         {"intact", problems.empty()},
                         {"problems", problems}};
  json["header"] = contents.headerRead ? headerJson(contents) : nlohmann::json(nullptr);
  nlohmann::json pictures = nlohmann::json::array();
  for (int picture = 0; picture < 3; ++picture) pictures.push_back(pictureJson(contents, picture));
  json["pictures"] = pictures;
  json["bytes_after_last_picture"] =
      blocksPlaced(contents) ? nlohmann::json(contents.bytesAfterLastPicture) : nullptr;
  // Text fields hold whatever bytes were typed; bytes that are not UTF-8 become U+FFFD.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
