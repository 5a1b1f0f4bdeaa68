// Any byte string as a picture imported with the game's palette, from memory: PNG files above
// all (the checks every PNG passes, then the decoder), and bitmaps of every depth. The last byte
// picks the mapping options. Besides the sanitizers, every outcome is held to what the importer
// promises: a refusal leaves the record alone and names the file's fault; a success gives a
// stream of exactly width x height indices, none of them past the palette, and never the
// transparent index where the picture had no transparent pixel. And a PNG that zlib's checks
// refuse is refused for just that fault, whichever inflater this build checks with: so every
// platform names the same fault in the same words. The read that inflates the image data once
// is held to the checks and the decoder one after the other: the same verdict, the same picture.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "picture_import.h"
#include "png_check.h"
#include "png_decoder.h"
#include "png_inflate.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "png import fuzz: %s\n", what);
  std::abort();
}

// 200 colours, so that indices past them show; two of them the same.
ImportOptions optionsFor(std::uint8_t choice) {
  ImportOptions options;
  options.hasPalette = (choice & 8) == 0;
  options.palette.colourCount = 200;
  for (int i = 0; i < 256; ++i) {
    for (int c = 0; c < 3; ++c) {
      options.palette.entries[i][c] =
          i < 200 ? static_cast<unsigned char>((i * 53 + c * 97) % 256) : 0;
    }
    options.palette.entries[i][3] = 0;
  }
  for (int c = 0; c < 3; ++c) options.palette.entries[17][c] = options.palette.entries[4][c];
  if (!options.hasPalette) return options;  // the mapping options come only with a palette
  options.dither = (choice & 1) != 0;
  options.exactColours = (choice & 2) != 0;
  options.transparentIndex = (choice & 4) != 0 ? 9 : -1;
  return options;
}

std::vector<std::uint8_t> inflated(const ImportedImage& image) {
  std::vector<std::uint8_t> out;
  if (!inflateWhole(image.compressedData, static_cast<std::size_t>(image.compressedSize), out)) {
    fail("not one complete zlib stream");
  }
  return out;
}

bool samePicture(const DecodedPicture& a, const DecodedPicture& b) {
  if (a.width != b.width || a.height != b.height || a.indexed != b.indexed ||
      a.paletteCount != b.paletteCount ||
      std::memcmp(a.palette, b.palette, sizeof a.palette) != 0 || !a.pixels != !b.pixels) {
    return false;
  }
  const std::size_t size =
      static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height) * (a.indexed ? 1 : 4);
  return !a.pixels || std::memcmp(a.pixels.get(), b.pixels.get(), size) == 0;
}

// The image data inflated once (readPng) and the checks then the decoder, each inflating it:
// the same verdict, and the same picture byte for byte.
void sameReadEitherWay(std::FILE* file, bool decodeTrueColour) {
  PngFacts onceFacts;
  PngFacts twiceFacts;
  DecodedPicture once;
  DecodedPicture twice;
  const ImportOutcome readOnce = readPng(file, decodeTrueColour, onceFacts, once);
  const ImportOutcome readTwice = checkThenDecodePng(file, decodeTrueColour, twiceFacts, twice);
  if (readOnce.problem != readTwice.problem || readOnce.detail != readTwice.detail) {
    fail("the image data inflated once is judged otherwise than inflated twice");
  }
  if (readOnce.ok() && !samePicture(once, twice)) {
    fail("the image data inflated once gives another picture than inflated twice");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  bytes.push_back(0);  // fmemopen wants a writable, non-empty buffer
  std::FILE* file = fmemopen(bytes.data(), size, "rb");
  if (file == nullptr) return 0;
  const ImportOptions options = optionsFor(size > 0 ? data[size - 1] : 0);
  unsigned char mark;
  const ImportedImage untouched{-7, -7, &mark, -7};
  ImportedImage image = untouched;
  MappingReport report;
  const ImportOutcome outcome = importOpenedPicture(file, options, image, &report);
  PngFacts facts;
  const ImportOutcome byZlib =
      hasPngSignature(data, size) ? checkPngUsing(file, facts, kZlibInflater) : ImportOutcome{};
  if (hasPngSignature(data, size)) sameReadEitherWay(file, options.hasPalette);
  std::fclose(file);
  if (!byZlib.ok() && (outcome.problem != byZlib.problem || outcome.detail != byZlib.detail)) {
    fail("a PNG refused for another fault than zlib's checks find");
  }
  if (!outcome.ok()) {
    if (outcome.problem == ImportProblem::kCannotOpen ||
        outcome.problem == ImportProblem::kCompressionFailed) {
      fail("refusal for a reason other than the file's content");
    }
    if (image.compressedData != &mark || image.width != -7) fail("refusal touched the record");
    return 0;
  }
  const std::vector<std::uint8_t> pixels = inflated(image);
  if (static_cast<std::int64_t>(pixels.size()) != std::int64_t{image.width} * image.height) {
    fail("stream is not width x height");
  }
  std::int64_t transparent = 0;
  for (std::uint8_t index : pixels) {
    if (options.hasPalette && index >= 200) fail("an index past the palette");
    transparent += index == 9;
  }
  if (options.transparentIndex == 9 && transparent != report.transparentPixels) {
    fail("the transparent index chosen for a pixel that was not transparent");
  }
  releaseImportedImage(image);
  return 0;
}
