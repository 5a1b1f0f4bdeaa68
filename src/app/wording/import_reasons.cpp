#include "import_reasons.h"

#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "png_decoder_codes.h"

namespace {

std::string cannotOpen(int openError) {
  // The reader refuses pipes and devices itself (it would wait on them forever) with a code of
  // its own; the system's text for it would not tell the user why.
  if (openError == ENXIO) return "cannot be opened: not a regular file (a pipe or a device)";
  std::string reason = "cannot be opened";
  if (openError != 0) reason += std::string(" (") + std::strerror(openError) + ")";
  return reason;
}

std::string number(long long value) { return std::to_string(value); }

std::string bitsPerPixel(long long bits) {
  return number(bits) + (bits == 1 ? " bit per pixel" : " bits per pixel");
}

std::string hexColour(std::uint32_t colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(colour & 0xFFFFFF));
  return text;
}

// The decoder's code in words where its table knows it; the code itself stays, in brackets, for
// a report of the fault.
std::string undecodableReason(long long code) {
  const std::string meaning = pngDecoderCodeMeaning(code);
  const std::string number = "(code " + pngDecoderCodeText(code) + ")";
  if (meaning.empty()) {
    return "the PNG decoder refused the picture for a reason it does not name " + number;
  }
  return "the PNG decoder refused the picture: " + meaning + " " + number;
}

std::string pngReason(const ImportOutcome& outcome) {
  const std::string detail = number(outcome.detail);
  switch (outcome.problem) {
    case ImportProblem::kPngBadCrc:
      return "damaged PNG: the chunk at byte " + detail + " fails its checksum (CRC)";
    case ImportProblem::kPngCut:
      return "damaged PNG: the file is cut short (it ends inside the chunk at byte " + detail +
             " or before its end chunk)";
    case ImportProblem::kPngBadHeader:
      return "bad PNG header: a zero size, or a bit depth, colour type or method PNG does not "
             "have";
    case ImportProblem::kPngMissingPalette:
      return "an indexed PNG without its palette (PLTE) chunk";
    case ImportProblem::kPngBadStructure:
      return "bad PNG structure: chunks out of order, of a wrong size, or unknown critical ones";
    case ImportProblem::kPngBadFilter:
      return "damaged PNG image data: a row starts with filter byte " + detail +
             " (only 0 to 4 exist)";
    case ImportProblem::kPngShortImageData:
      return "damaged PNG: the image data ends before its last row";
    case ImportProblem::kPngBadImageData:
      return "damaged PNG: the image data is not a valid deflate stream";
    case ImportProblem::kPngSideChunkTooLarge:
      return "a PNG text or colour profile chunk inflates past " +
             number(kPngSideChunkLimit >> 20) + " MiB (or all of them past " +
             number(kPngSideChunksLimit >> 20) + " MiB)";
    case ImportProblem::kPngUndecodable:
      return undecodableReason(outcome.detail);
    default:
      return std::string();
  }
}

// What a file no picture reader here takes is, by its first bytes, and what to do with it.
std::string otherFormatReason(long long format) {
  static const char* const kNames[] = {nullptr, "JPEG", "GIF", "TIFF", "WebP", "QOI", "PCX", "TGA"};
  const auto kind = static_cast<std::size_t>(format);
  if (format <= 0 || kind >= sizeof kNames / sizeof kNames[0]) {
    return "neither a bitmap (the letters BM) nor a PNG picture: export it as PNG or BMP";
  }
  return std::string("a ") + kNames[kind] +
         " picture, which divovod does not read: export it as PNG or BMP";
}

std::string needsPaletteStart(const ImportOutcome& outcome) {
  return std::string(outcome.grey ? "a grey picture (" : "a true-colour picture (") +
         bitsPerPixel(outcome.detail) + ") has no palette indices: ";
}

}  // namespace

std::string importReasonInDialogue(const ImportOutcome& outcome, int openError) {
  if (outcome.problem != ImportProblem::kNeedsPalette) return importReason(outcome, openError);
  return needsPaletteStart(outcome) +
         "start divovod with the game's palette (divovod --palette FILE, or set it once: divovod "
         "help config) to map its " +
         (outcome.grey ? "shades" : "colours");
}

std::string importReason(const ImportOutcome& outcome, int openError) {
  const std::string detail = number(outcome.detail);
  switch (outcome.problem) {
    case ImportProblem::kNone:
      return "imported";
    case ImportProblem::kCannotOpen:
      return cannotOpen(openError);
    case ImportProblem::kNotAPicture:
      return otherFormatReason(outcome.detail);
    case ImportProblem::kUnsupportedBitDepth:
      return bitsPerPixel(outcome.detail) + " is no bitmap depth (1, 4, 8, 16, 24 or 32 are)";
    case ImportProblem::kNeedsPalette:
      return needsPaletteStart(outcome) +
             "give the game's palette with --palette FILE to map its " +
             (outcome.grey ? "shades" : "colours");
    case ImportProblem::kColourNotInPalette:
      return "the pixel at x " + number(outcome.x) + ", y " + number(outcome.y) + " has colour " +
             hexColour(outcome.colour) +
             ", which is not in the palette (--exact-colours refuses any such colour)";
    case ImportProblem::kIndexPastPalette:
      return "the pixel at " + number(outcome.x) + ", " + number(outcome.y) + " has index " +
             detail + ", past the picture's " + number(outcome.colour) + "-colour palette";
    case ImportProblem::kTooShort:
      return "the file ends inside its headers";
    case ImportProblem::kUnsupportedHeader:
      return "an information header of " + detail +
             " bytes is of no bitmap kind (12 bytes, OS/2's first, or 16 and more)";
    case ImportProblem::kUnsupportedCompression:
      return "compression " + detail +
             " is not supported (none, RLE8 for 8 bits, RLE4 for 4 bits, bit fields for 16 and "
             "32 bits)";
    case ImportProblem::kBadDimensions:
      return "the header gives a negative width or an impossible height";
    case ImportProblem::kTopDownRle:
      return "RLE pictures stored top row first are not supported";
    case ImportProblem::kBadPixelOffset:
      return "the pixel data offset " + detail +
             " lies inside the headers or past the end of the file";
    case ImportProblem::kTooLarge:
      if (outcome.detail == kClaimBeyondFile) {
        return "the header claims far more pixels than the file's data can hold";
      }
      return "the picture is too large for the episode file's 32-bit sizes";
    case ImportProblem::kMissingPixels:
      return "the header promises more pixels than the file holds (or than its RLE data can "
             "describe)";
    case ImportProblem::kOutOfMemory:
      return "not enough memory for the picture";
    case ImportProblem::kCompressionFailed:
      return "compression failed (zlib status " + detail + ")";
    default: {  // the PNG checks' reasons, or a problem newer than this wording
      const std::string png = pngReason(outcome);
      if (!png.empty()) return png;
      return "the picture cannot be used (problem " +
             number(static_cast<long long>(outcome.problem)) + ", detail " + detail + ")";
    }
  }
}

namespace {

std::string colourCount(long long count) {
  return number(count) + (count == 1 ? " colour" : " colours");
}

// A size past a bound, in MiB rounded up to a tenth, so that it never reads as the bound itself.
std::string mebibytes(long long bytes) {
  const long long tenths = (bytes * 10 + (1 << 20) - 1) >> 20;
  std::string text = number(tenths / 10);
  if (tenths % 10 != 0) text += "." + number(tenths % 10);
  return text + " MiB";
}

std::string paletteFormName(PaletteForm form) {
  switch (form) {
    case PaletteForm::kJasc:
      return "a JASC-PAL palette";
    case PaletteForm::kGimp:
      return "a GIMP palette";
    case PaletteForm::kRiff:
      return "a RIFF palette";
    case PaletteForm::kBitmap:
      return "a bitmap read for its palette";
    case PaletteForm::kPng:
      return "a PNG read for its palette";
    default:
      return "a palette file";
  }
}

std::string badColourCount(const PaletteOutcome& outcome) {
  if (outcome.line == 0) {
    return "a palette of " + colourCount(outcome.detail) + " (1 to 256 can be used)";
  }
  const std::string line = "line " + number(outcome.line);
  if (outcome.detail == kNoColourCount) {
    return line + " holds no colour count (a whole number from 1 to 256)";
  }
  return line + ": the colour count " + number(outcome.detail) + " is not 1 to 256";
}

// The picture checks' reasons, said of the palette file: a PNG palette file is refused for
// whatever a PNG picture is, in the same words.
std::string refusedPngPalette(const PaletteOutcome& outcome) {
  const ImportOutcome refusal{outcome.pngProblem, outcome.detail};
  switch (outcome.pngProblem) {
    case ImportProblem::kPngBadCrc:
    case ImportProblem::kPngCut:
    case ImportProblem::kPngShortImageData:
    case ImportProblem::kPngBadImageData:
      return "the palette file is a " + pngReason(refusal);
    case ImportProblem::kPngBadHeader:
    case ImportProblem::kPngBadStructure:  // a palette chunk of 5 bytes among them
      return "the palette file is a damaged PNG, with a " + pngReason(refusal);
    case ImportProblem::kPngBadFilter:
      return "the palette file has " + pngReason(refusal);
    case ImportProblem::kPngMissingPalette:
      return "the palette file is " + pngReason(refusal);
    case ImportProblem::kPngUndecodable:
      return "the PNG decoder refused the palette file (code " + number(outcome.detail) + ")";
    default:
      return "the palette file cannot be read as a PNG picture: " + importReason(refusal);
  }
}

}  // namespace

std::string paletteReason(const PaletteOutcome& outcome, int openError) {
  switch (outcome.problem) {
    case PaletteProblem::kNone:
      return "read";
    case PaletteProblem::kCannotOpen:
      return cannotOpen(openError);
    case PaletteProblem::kBitmapCut:
      return "a bitmap cut short inside its headers";
    case PaletteProblem::kBitmapWithoutPalette:
      return "a bitmap of " + bitsPerPixel(outcome.detail) +
             " has no palette (a palette comes from a 1-, 4- or 8-bit picture)";
    case PaletteProblem::kUnsupportedHeader:
      return "a palette is read after an information header of 12 bytes or of 16 and more, not " +
             number(outcome.detail);
    case PaletteProblem::kPaletteMissing:
      return "the file ends inside its palette";
    case PaletteProblem::kUnknownForm:
      return "not a palette: none of JASC-PAL, GIMP palette, colour table (768 or 772 bytes), "
             "RIFF palette, or an indexed bitmap or PNG";
    case PaletteProblem::kBadColourCount:
      return badColourCount(outcome);
    case PaletteProblem::kBadEntry:
      return "line " + number(outcome.detail) +
             " is not a colour of three whole numbers from 0 to 255";
    case PaletteProblem::kPngRefused:
      return refusedPngPalette(outcome);
    case PaletteProblem::kPngWithoutPalette:
      return "a PNG without a palette (not an indexed picture)";
    case PaletteProblem::kTooLarge:
      return "the palette file is " + mebibytes(outcome.detail) + "; " +
             paletteFormName(outcome.form) + " is at most " +
             mebibytes(outcome.form == PaletteForm::kBitmap || outcome.form == PaletteForm::kPng
                           ? kLargestPicturePalette
                           : kLargestTextPalette);
    case PaletteProblem::kTooManyLines:
      return "the palette file has " + number(outcome.detail) + " lines; " +
             paletteFormName(outcome.form) + " has at most " + number(kMostTextPaletteLines);
    case PaletteProblem::kPictureTooLarge:
      return "the palette file is a picture of " + number(outcome.width) + " x " +
             number(outcome.height) + " pixels; " + paletteFormName(outcome.form) +
             " has at most " + number(kMostPicturePalettePixels) + " (4096 x 4096)";
  }
  return "the palette cannot be read";
}

std::string mappingLine(const MappingReport& report) {
  char distance[32];
  std::snprintf(distance, sizeof distance, "%.1f", std::sqrt(double(report.largestDistance2)));
  std::string line = "mapped onto the palette: " + number(report.changedPixels) + " of " +
                     number(report.pixels) + " pixels changed colour, largest distance " + distance;
  if (report.transparentPixels > 0) {
    line +=
        "; " + number(report.transparentPixels) + " transparent pixels took the transparent index";
  }
  if (report.partlyTransparent > 0) {
    line += "; note: " + number(report.partlyTransparent) +
            " pixels of partial alpha were mapped by their colour";
  }
  if (report.alphaIgnored > 0) {
    line += "; note: " + number(report.alphaIgnored) +
            " fully transparent pixels were mapped by their colour (--transparent-index N gives "
            "them an index)";
  }
  return line;
}
