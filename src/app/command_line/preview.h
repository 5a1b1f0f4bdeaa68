// Pictures drawn in the terminal with colours: each text cell is an upper half block whose
// foreground is one pixel and whose background is the pixel below it, so a cell holds two rows.
// Outside a UTF-8 locale a pixel is two spaces in its colour instead, one row per line.
// Everything here is pure: pixels, a palette and a style in, text out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap_writer.h"

struct PreviewStyle {
  bool trueColour = false;  // 24-bit SGR colours; otherwise xterm's 256-colour numbers
  bool halfBlocks = true;   // U+2580 cells of two pixels; otherwise two spaces per pixel
};

// The nearest of xterm's colours 16 to 255 (the 6 x 6 x 6 cube and the 24 greys) by squared RGB
// distance, the lowest number on a tie. The first 16 are left out: terminals differ in them.
int nearestXtermColour(unsigned char red, unsigned char green, unsigned char blue);

// The whole step by which a picture `width` pixels wide is cut down to fit `columns` text
// columns (a pixel takes one column with half blocks, two with spaces); 1 when it fits.
std::int64_t previewStep(std::int64_t width, std::int64_t columns, bool halfBlocks);

// One text line: `upper` and `lower` hold `cells` palette indices each; lower is null for the
// odd last row, whose cells keep the terminal's own background. Ends with a reset and a line
// feed. Without half blocks only `upper` is drawn.
std::string previewLine(const unsigned char* upper, const unsigned char* lower, std::size_t cells,
                        const Palette& palette, const PreviewStyle& style);

// Takes a picture's pixels in order, in blocks of any size, keeps every step-th pixel of every
// step-th row (the top-left one of each step x step square) and gives out each finished line.
struct PreviewSampler {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t step = 1;
  PreviewStyle style;
  // Each palette entry's colour code as foreground and as background, worked out once: a
  // picture has at most 256 colours but may have millions of cells.
  std::vector<std::string> foreground;
  std::vector<std::string> background;
  std::int64_t pixel = 0;  // pixels taken so far
  std::vector<unsigned char> upper;
  std::vector<unsigned char> lower;
  bool upperFilled = false;
};

PreviewSampler startPreview(std::int64_t width, std::int64_t height, std::int64_t columns,
                            const Palette& palette, const PreviewStyle& style);
// Finished lines are appended to `lines`.
void feedPreview(PreviewSampler& sampler, const unsigned char* pixels, std::size_t count,
                 std::string& lines);
// The odd last row, if one is waiting.
void finishPreview(PreviewSampler& sampler, std::string& lines);

// A whole picture at once (width x height indices, top row first).
std::string renderPreview(const unsigned char* pixels, std::int32_t width, std::int32_t height,
                          const Palette& palette, const PreviewStyle& style, std::int64_t columns);
