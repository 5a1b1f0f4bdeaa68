// The game's palette, read from any of the files palettes come in. The form is found from the
// content, never from the name: JASC-PAL text, GIMP palette text, Photoshop colour tables (768
// bytes, or 772 with a colour count), RIFF palettes, raw 768 bytes of 6-bit VGA values, and the
// palette of an indexed bitmap or PNG.
#pragma once

#include <cstdio>

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
  kBadColourCount,        // detail: the count given or found (1 to 256 are palettes)
  kBadEntry,              // detail: the line of a text palette that is no colour of 0..255
  kPngDamaged,            // detail: the offset of the chunk that is cut or fails its checksum
  kPngWithoutPalette,     // a PNG with no palette chunk
};

struct PaletteOutcome {
  PaletteProblem problem = PaletteProblem::kNone;
  long long detail = 0;
  PaletteForm form = PaletteForm::kUnknown;
  bool sixBitValues = false;  // raw 6-bit VGA values, scaled to 0..255
  bool ok() const { return problem == PaletteProblem::kNone; }
};

// On failure `palette` is left as it was.
PaletteOutcome readPalette(const char* path, Palette& palette);

// The same for a file already open for binary reading (the caller closes it).
PaletteOutcome readOpenedPalette(std::FILE* file, Palette& palette);
