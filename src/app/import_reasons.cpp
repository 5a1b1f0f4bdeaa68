#include "import_reasons.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace {

std::string cannotOpen(int openError) {
  // The reader refuses pipes and devices itself (it would wait on them forever); the system's
  // "Invalid argument" would not tell the user why.
  if (openError == EINVAL) return "cannot be opened: not a regular file (a pipe or a device)";
  std::string reason = "cannot be opened";
  if (openError != 0) reason += std::string(" (") + std::strerror(openError) + ")";
  return reason;
}

std::string number(long long value) { return std::to_string(value); }

std::string bitsPerPixel(long long bits) {
  return number(bits) + (bits == 1 ? " bit per pixel" : " bits per pixel");
}

}  // namespace

std::string importReason(const ImportOutcome& outcome, int openError) {
  const std::string detail = number(outcome.detail);
  switch (outcome.problem) {
    case ImportProblem::kNone:
      return "imported";
    case ImportProblem::kCannotOpen:
      return cannotOpen(openError);
    case ImportProblem::kNotABitmap:
      return "not a bitmap (it does not start with the letters BM)";
    case ImportProblem::kNotEightBits:
      return bitsPerPixel(outcome.detail) + ", only 8-bit pictures can be stored";
    case ImportProblem::kTooShort:
      return "the file ends inside its headers";
    case ImportProblem::kUnsupportedHeader:
      return "an information header of " + detail +
             " bytes is of no bitmap kind (12 bytes, OS/2's first, or 16 and more)";
    case ImportProblem::kUnsupportedCompression:
      return "compression " + detail + " is not supported (only none and RLE8)";
    case ImportProblem::kBadDimensions:
      return "the header gives a negative width or an impossible height";
    case ImportProblem::kTopDownRle:
      return "RLE8 pictures stored top row first are not supported";
    case ImportProblem::kBadPixelOffset:
      return "the pixel data offset " + detail +
             " lies inside the headers or past the end of the file";
    case ImportProblem::kTooLarge:
      return "the picture is too large for the episode file's 32-bit sizes";
    case ImportProblem::kMissingPixels:
      return "the header promises more pixels than the file holds (or than its RLE8 data can "
             "describe)";
    case ImportProblem::kOutOfMemory:
      return "not enough memory for the picture";
    case ImportProblem::kCompressionFailed:
      return "compression failed (zlib status " + detail + ")";
    default:  // a problem newer than this wording
      return "the picture cannot be used (problem " +
             number(static_cast<long long>(outcome.problem)) + ", detail " + detail + ")";
  }
}

std::string paletteReason(const PaletteOutcome& outcome, int openError) {
  switch (outcome.problem) {
    case PaletteProblem::kNone:
      return "read";
    case PaletteProblem::kCannotOpen:
      return cannotOpen(openError);
    case PaletteProblem::kNotABitmap:
      return "not a bitmap (it does not start with the letters BM and whole headers)";
    case PaletteProblem::kNotEightBits:
      return bitsPerPixel(outcome.detail) + ", the palette must come from an 8-bit picture";
    case PaletteProblem::kUnsupportedHeader:
      return "a palette is read after an information header of 12 bytes or of 16 and more, not " +
             number(outcome.detail);
    case PaletteProblem::kPaletteMissing:
      return "the file ends inside its palette";
  }
  return "the palette cannot be read";
}
