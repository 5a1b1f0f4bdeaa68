#include "episode_report.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

const char* const kPictureNames[3] = {"episode image", "title image", "lowtitle image"};
const char* const kPictureKeys[3] = {"episode", "title", "lowtitle"};

std::string number(long long value) { return std::to_string(value); }

// zlib's words where it has them; it gives none for these two.
std::string zlibWords(const PictureBlock& block) {
  if (block.zlibStatus == Z_MEM_ERROR) return "out of memory";
  if (block.zlibStatus == Z_NEED_DICT) return "needs a preset dictionary";
  return block.zlibMessage ? block.zlibMessage : "invalid data";
}

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
      return "its stream is corrupt (zlib: " + zlibWords(block) + ")";
    case PictureProblem::kCutShort:
      return "its stream is cut short: its " + size + " bytes end before the stream does";
    case PictureProblem::kTooManyPixels:
      if (block.expectedPixels >= 0) {
        return "its stream inflates past the " + expectedText(block, titleSizeGiven, picture);
      }
      return "its stream inflates past " + number(block.pixelLimit) + " pixels, more than " +
             (block.pixelLimit < inflateBound(block.streamSize)
                  ? std::string("any picture divovod stores holds")
                  : "1032 times its own size, more than deflate can give");
    case PictureProblem::kClaimPastStream:
      return "its " + size + "-byte stream cannot hold the " +
             expectedText(block, titleSizeGiven, picture) + " (at most " +
             number(inflateBound(block.streamSize)) + "); it was not inflated";
    case PictureProblem::kClaimPastLargest:
      return "the " + expectedText(block, titleSizeGiven, picture) +
             " are more than any picture divovod stores holds (" + number(largestStoredPixels()) +
             "); it was not inflated";
    case PictureProblem::kTooFewPixels:
      return "its stream holds " + number(block.pixelCount) + " pixels, not the " +
             expectedText(block, titleSizeGiven, picture);
    case PictureProblem::kLeftoverBytes:
      return "its block holds bytes after the end of its stream";
  }
  return "its block is damaged";
}

// The length of the well-formed UTF-8 sequence at text[at] (overlong forms, surrogates and code
// points past U+10FFFF are not), or 0; its code point in `codePoint`.
std::size_t utf8Sequence(const std::string& text, std::size_t at, std::uint32_t& codePoint) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  std::uint32_t smallest = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, smallest = 0x80, codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, smallest = 0x800, codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, smallest = 0x10000, codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (next & 0x3Fu);
  }
  if (codePoint < smallest || codePoint > 0x10FFFF ||
      (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void appendEscaped(std::string& shown, const std::string& text, std::size_t at, std::size_t count) {
  for (std::size_t i = at; i < at + count; ++i) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
    shown += escaped;
  }
}

std::string escapedText(const std::string& text, bool escapeBackslash) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t codePoint = 0;
    const std::size_t length = utf8Sequence(text, at, codePoint);
    const bool control = codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
    if (length == 0) {
      appendEscaped(shown, text, at, 1);
      at += 1;
    } else if (control || (escapeBackslash && codePoint == '\\')) {
      appendEscaped(shown, text, at, length);
      at += length;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}

}  // namespace

std::string terminalText(const std::string& text) { return escapedText(text, true); }

std::string messageText(const std::string& text) { return escapedText(text, false); }

std::string jsonText(const std::string& text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t codePoint = 0;
    const std::size_t length = utf8Sequence(text, at, codePoint);
    if (length == 0) {
      appendEscaped(shown, text, at, 1);
      at += 1;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}

namespace {

std::string line(const char* label, const std::string& value) {
  std::string text = label;
  text.resize(16, ' ');
  return text + value + "\n";
}

// A block whose size or claim ruled its stream out before it was inflated has no pixel count.
bool notInflated(const PictureBlock& block) {
  return block.problem == PictureProblem::kNegativeSize ||
         block.problem == PictureProblem::kPastEnd ||
         block.problem == PictureProblem::kClaimPastStream ||
         block.problem == PictureProblem::kClaimPastLargest;
}

std::string pictureLine(const EpisodeContents& contents, int picture) {
  const PictureBlock& block = contents.pictures[picture];
  if (block.problem == PictureProblem::kNotReached) return "not reached";
  if (block.problem == PictureProblem::kSizeMissing) return "missing";
  std::string text = "block at offset " + number(block.offset) + ", stream of " +
                     number(block.streamSize) + " bytes";
  if (notInflated(block)) return text + ", damaged";
  text += ": " + number(block.pixelCount) + " pixels";
  return text + (block.problem == PictureProblem::kNone ? ", intact" : ", damaged");
}

nlohmann::json pictureJson(const EpisodeContents& contents, int picture) {
  const PictureBlock& block = contents.pictures[picture];
  const bool sizeRead =
      block.problem != PictureProblem::kNotReached && block.problem != PictureProblem::kSizeMissing;
  const bool inflated = sizeRead && !notInflated(block);
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
          {"name", jsonText(fieldText(header.episodeName, sizeof header.episodeName))},
          {"start_level", jsonText(fieldText(header.startLevel, sizeof header.startLevel))},
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

namespace {

// A file whose first field is not 204 (or that ends before its header does) is no episode file:
// its "header" fields would be numbers taken from something else.
bool isEpisodeFile(const EpisodeContents& contents) {
  return contents.headerProblem != HeaderProblem::kTooShort &&
         contents.headerProblem != HeaderProblem::kNotAnEpisodeFile;
}

nlohmann::json reportJson(const std::string& fileName, const EpisodeContents& contents) {
  const std::vector<std::string> problems = episodeProblems(contents);
  nlohmann::json json = {{"file", jsonText(fileName)},
                         {"size", contents.fileSize},
                         {"intact", problems.empty()},
                         {"problems", problems}};
  json["header"] = contents.headerRead ? headerJson(contents) : nlohmann::json(nullptr);
  nlohmann::json pictures = nlohmann::json::array();
  for (int picture = 0; picture < 3; ++picture) pictures.push_back(pictureJson(contents, picture));
  json["pictures"] = pictures;
  json["bytes_after_last_picture"] =
      blocksPlaced(contents) ? nlohmann::json(contents.bytesAfterLastPicture) : nullptr;
  return json;
}

nlohmann::json shownJson(const ShownFile& shown) {
  if (shown.contents != nullptr) return reportJson(shown.name, *shown.contents);
  return {{"file", jsonText(shown.name)}, {"intact", false}, {"error", jsonText(shown.error)}};
}

std::string dumped(const nlohmann::json& json) {
  // Every text went through jsonText, so no byte is left that is not UTF-8.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string showAsText(const std::string& fileName, const EpisodeContents& contents) {
  std::string text = line("file", terminalText(fileName));
  text += line("size", number(contents.fileSize) + " bytes");
  if (!isEpisodeFile(contents)) {
    text += line("kind", "not an episode file");
  } else if (contents.headerRead) {
    const EpisodeHeader& header = contents.header;
    text += line("position", number(header.listPosition));
    text += line("name", terminalText(fieldText(header.episodeName, sizeof header.episodeName)));
    text +=
        line("start level", terminalText(fieldText(header.startLevel, sizeof header.startLevel)));
    text += line("episode size", sizeText(header.episodeImageWidth, header.episodeImageHeight));
    text += line("lowtitle size", sizeText(header.lowtitleImageWidth, header.lowtitleImageHeight));
    text += line("fixed values", contents.usualFixedValues ? "usual" : "unusual");
    for (int picture = 0; picture < 3; ++picture) {
      text += line(kPictureNames[picture], pictureLine(contents, picture));
    }
  }
  const std::vector<std::string> problems = episodeProblems(contents);
  text += line("verdict", problems.empty() ? "intact" : "damaged");
  for (const std::string& problem : problems) text += line("problem", terminalText(problem));
  return text;
}

std::string showAsJson(const std::string& fileName, const EpisodeContents& contents) {
  return dumped(reportJson(fileName, contents));
}

std::string showAsJson(const std::vector<ShownFile>& files) {
  if (files.size() == 1) return dumped(shownJson(files[0]));
  nlohmann::json all = nlohmann::json::array();
  for (const ShownFile& file : files) all.push_back(shownJson(file));
  return dumped(all);
}
