// The game's palette, read from any of the files palettes come in. The form is found from the
// content, never from the name: JASC-PAL text, GIMP palette text, Photoshop colour tables (768
// bytes, or 772 with a colour count), RIFF palettes, raw 768 bytes of 6-bit VGA values, and the
// palette of an indexed bitmap or PNG.
#pragma once

#include <cstdint>
#include <cstdio>

enum class ImportProblem;  // picture_import.h: why the PNG checks refuse a picture

// Every palette file is read within a bound that depends on its form, found from its first bytes
// and checked against the file's size before anything else is read. A text palette of 256
// colours with a name and comments on every line stays far below these.
constexpr std::int64_t kLargestTextPalette = 1 << 20;  // JASC-PAL, GIMP and RIFF palettes
constexpr int kMostTextPaletteLines = 4096;
// A picture the game shows (4096 x 4096 at 8 bits is 16 MiB of pixels) must still serve as its
// palette: the file bound leaves room for that and its other chunks; the pixel bound holds what
// the PNG decoder is asked to fill, since a small PNG can claim a huge picture.
constexpr std::int64_t kLargestPicturePalette = 32 << 20;  // an indexed bitmap or PNG
constexpr std::int64_t kMostPicturePalettePixels = 4096 * 4096;

// 256 entries of blue, green, red and a zero byte, as they stand in a bitmap file. Entries past
// colourCount are black and are never chosen for a colour.
struct Palette {
  unsigned char entries[256][4];
  int colourCount = 256;
};

enum class PaletteForm { kUnknown, kBitmap, kPng, kJasc, kGimp, kColourTable, kRiff };

enum class PaletteProblem {
  kNone,
  kCannotOpen,
  kBitmapCut,             // starts with B M, and the file ends inside its headers
  kBitmapWithoutPalette,  // a bitmap with no palette; detail: its bit count
  kUnsupportedHeader,     // detail: the information header's size
  kPaletteMissing,        // the file ends inside its palette
  kUnknownForm,           // none of the palette forms
  kBadColourCount,        // detail: the count given or found (1 to 256 are palettes), or
                          // kNoColourCount; line: where a text palette gives it, or 0
  kBadEntry,              // detail: the line of a text palette that is no colour of 0..255
  kPngRefused,            // the PNG checks or the decoder refuse it as they would a picture:
                          // pngProblem and detail say why, as an ImportOutcome would
  kPngWithoutPalette,     // a PNG that is not indexed
  kTooLarge,              // detail: the file's size in bytes, past the bound of its form
  kTooManyLines,          // detail: the lines of a text palette, past kMostTextPaletteLines
  kPictureTooLarge,       // a PNG whose header claims more than kMostPicturePalettePixels;
                          // width and height say what it claims
};

constexpr long long kNoColourCount = -1;  // the count's line holds no whole number

struct PaletteOutcome {
  PaletteProblem problem = PaletteProblem::kNone;
  long long detail = 0;
  PaletteForm form = PaletteForm::kUnknown;
  bool sixBitValues = false;   // raw 6-bit VGA values, scaled to 0..255
  long long line = 0;          // kBadColourCount in a text palette: the count's line
  ImportProblem pngProblem{};  // kPngRefused: what the checks or the decoder said
  std::uint32_t width = 0;     // kPictureTooLarge: the size the PNG's header claims
  std::uint32_t height = 0;
  bool ok() const { return problem == PaletteProblem::kNone; }
};

// The form is known before the whole file is read, so a refusal past its bound names it (a file
// of no form is refused from its first bytes). On failure `palette` is left as it was.
PaletteOutcome readPalette(const char* path, Palette& palette);

// The same for a file already open for binary reading (the caller closes it).
PaletteOutcome readOpenedPalette(std::FILE* file, Palette& palette);
