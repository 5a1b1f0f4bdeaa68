#include "preview.h"

#include <algorithm>

namespace {

const int kCubeLevels[6] = {0, 95, 135, 175, 215, 255};

struct Rgb {
  int red;
  int green;
  int blue;
};

Rgb xtermColour(int number) {
  if (number >= 232) {
    const int grey = 8 + 10 * (number - 232);
    return {grey, grey, grey};
  }
  const int cube = number - 16;
  return {kCubeLevels[cube / 36], kCubeLevels[cube / 6 % 6], kCubeLevels[cube % 6]};
}

// Palette entries stand as blue, green, red.
Rgb entryColour(const Palette& palette, unsigned char index) {
  const unsigned char* entry = palette.entries[index];
  return {entry[2], entry[1], entry[0]};
}

std::string colourCode(const Rgb& colour, const PreviewStyle& style, bool foreground) {
  const char* const prefix = foreground ? "38" : "48";
  if (style.trueColour) {
    return std::string(prefix) + ";2;" + std::to_string(colour.red) + ";" +
           std::to_string(colour.green) + ";" + std::to_string(colour.blue);
  }
  const int number = nearestXtermColour(static_cast<unsigned char>(colour.red),
                                        static_cast<unsigned char>(colour.green),
                                        static_cast<unsigned char>(colour.blue));
  return std::string(prefix) + ";5;" + std::to_string(number);
}

const char* const kUpperHalfBlock = "\xE2\x96\x80";  // U+2580
const char* const kReset = "\x1b[0m\n";

}  // namespace

int nearestXtermColour(unsigned char red, unsigned char green, unsigned char blue) {
  int best = 16;
  long bestDistance = -1;
  for (int number = 16; number < 256; ++number) {
    const Rgb colour = xtermColour(number);
    const long dr = colour.red - red;
    const long dg = colour.green - green;
    const long db = colour.blue - blue;
    const long distance = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || distance < bestDistance) {
      best = number;
      bestDistance = distance;
    }
  }
  return best;
}

std::int64_t previewStep(std::int64_t width, std::int64_t columns, bool halfBlocks) {
  const std::int64_t room = std::max<std::int64_t>(1, halfBlocks ? columns : columns / 2);
  if (width <= room) return 1;
  return (width + room - 1) / room;
}

namespace {

void makeCodes(const Palette& palette, const PreviewStyle& style,
               std::vector<std::string>& foreground, std::vector<std::string>& background) {
  foreground.resize(256);
  background.resize(256);
  for (int index = 0; index < 256; ++index) {
    const Rgb colour = entryColour(palette, static_cast<unsigned char>(index));
    foreground[index] = colourCode(colour, style, true);
    background[index] = colourCode(colour, style, false);
  }
}

void appendLine(const unsigned char* upper, const unsigned char* lower, std::size_t cells,
                const PreviewSampler& codes, std::string& lines) {
  for (std::size_t cell = 0; cell < cells; ++cell) {
    lines += "\x1b[";
    if (!codes.style.halfBlocks) {
      lines += codes.background[upper[cell]];
      lines += "m  ";
      continue;
    }
    lines += codes.foreground[upper[cell]];
    lines += ";";
    lines += lower ? codes.background[lower[cell]] : std::string("49");
    lines += "m";
    lines += kUpperHalfBlock;
  }
  lines += kReset;
}

}  // namespace

std::string previewLine(const unsigned char* upper, const unsigned char* lower, std::size_t cells,
                        const Palette& palette, const PreviewStyle& style) {
  PreviewSampler codes;
  codes.style = style;
  makeCodes(palette, style, codes.foreground, codes.background);
  std::string line;
  appendLine(upper, lower, cells, codes, line);
  return line;
}

PreviewSampler startPreview(std::int64_t width, std::int64_t height, std::int64_t columns,
                            const Palette& palette, const PreviewStyle& style) {
  PreviewSampler sampler;
  sampler.width = width;
  sampler.height = height;
  sampler.step = previewStep(width, columns, style.halfBlocks);
  sampler.style = style;
  makeCodes(palette, style, sampler.foreground, sampler.background);
  const std::size_t cells = static_cast<std::size_t>((width + sampler.step - 1) / sampler.step);
  sampler.upper.reserve(cells);
  sampler.lower.reserve(cells);
  return sampler;
}

namespace {

// A sampled row is complete: it becomes a line at once (spaces), or waits for its lower half.
void rowDone(PreviewSampler& sampler, std::string& lines) {
  if (!sampler.style.halfBlocks) {
    appendLine(sampler.upper.data(), nullptr, sampler.upper.size(), sampler, lines);
    sampler.upper.clear();
  } else if (!sampler.upperFilled) {
    sampler.upperFilled = true;
  } else {
    appendLine(sampler.upper.data(), sampler.lower.data(), sampler.upper.size(), sampler, lines);
    sampler.upper.clear();
    sampler.lower.clear();
    sampler.upperFilled = false;
  }
}

}  // namespace

void feedPreview(PreviewSampler& sampler, const unsigned char* pixels, std::size_t count,
                 std::string& lines) {
  if (sampler.width <= 0) return;
  for (std::size_t i = 0; i < count; ++i, ++sampler.pixel) {
    const std::int64_t row = sampler.pixel / sampler.width;
    const std::int64_t column = sampler.pixel % sampler.width;
    if (row % sampler.step != 0 || column % sampler.step != 0) continue;
    std::vector<unsigned char>& target = sampler.upperFilled ? sampler.lower : sampler.upper;
    target.push_back(pixels[i]);
    // The last sampled pixel of this row: the step's column, or the picture's last one.
    if (column + sampler.step >= sampler.width) rowDone(sampler, lines);
  }
}

void finishPreview(PreviewSampler& sampler, std::string& lines) {
  if (sampler.upperFilled) {
    appendLine(sampler.upper.data(), nullptr, sampler.upper.size(), sampler, lines);
    sampler.upper.clear();
    sampler.upperFilled = false;
  }
}

std::string renderPreview(const unsigned char* pixels, std::int32_t width, std::int32_t height,
                          const Palette& palette, const PreviewStyle& style, std::int64_t columns) {
  PreviewSampler sampler = startPreview(width, height, columns, palette, style);
  std::string lines;
  if (width > 0 && height > 0) {
    feedPreview(sampler, pixels, static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                lines);
  }
  finishPreview(sampler, lines);
  return lines;
}
