#include "import_reasons.h"

#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

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
      return "the PNG decoder refused the picture (code " + detail + ")";
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
      return "a palette of " + number(outcome.detail) + " colours (1 to 256 can be used)";
    case PaletteProblem::kBadEntry:
      return "line " + number(outcome.detail) +
             " is not a colour of three whole numbers from 0 to 255";
    case PaletteProblem::kPngDamaged:
      return "damaged PNG: the chunk at byte " + number(outcome.detail) +
             " is cut short or fails its checksum";
    case PaletteProblem::kPngWithoutPalette:
      return "a PNG without a palette (PLTE) chunk";
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
