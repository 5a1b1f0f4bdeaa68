// The checks every PNG passes before a decoder sees it, the same on every platform, so that
// each decoder is given only sound files and all of them refuse the same bad ones: every chunk
// walked and its checksum checked, the chunks' order and sizes, the header's values, the image
// data inflated once (in a small buffer) to see each row's filter byte and that no row is
// missing, the size the header claims held to what the file can hold, and what the compressed
// text and profile chunks inflate to held to their bounds (kPngSideChunkLimit, all of them
// kPngSideChunksLimit), refused last, after every other fault.
#pragma once

#include <cstdint>
#include <cstdio>

#include "picture_import.h"

struct PngFacts {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 0;
  int colourType = 0;  // 0 grey, 2 RGB, 3 indexed, 4 grey and alpha, 6 RGBA
  bool interlaced = false;
  int paletteEntries = 0;
};

inline bool pngIsIndexed(const PngFacts& facts) { return facts.colourType == 3; }

// Bits of one pixel as the file stores it.
int pngBitsPerPixel(const PngFacts& facts);

// True when the eight bytes are the PNG signature.
bool hasPngSignature(const unsigned char* start, std::size_t length);

struct Inflater;

// Reads the whole file from its start; the position is left anywhere. A refusal is always the
// one zlib's inflater gives, on every platform. The inflater of the build may pass image data
// that zlib refuses (see png_inflate.h): a picture refused after the checks is then to be
// refused for that fault, which confirmPngStream finds.
ImportOutcome checkPng(std::FILE* file, PngFacts& facts);

// The checks with the inflater given; kZlibInflater's verdicts are the ones every platform gives.
ImportOutcome checkPngUsing(std::FILE* file, PngFacts& facts, const Inflater& inflater);

// The same checks but for the image data, which is not inflated: every chunk and its checksum,
// the order, the header, the claim bound and the side chunks' bounds. A pass here and a reader
// that then checks the image data as it inflates it (png_restream.h) give checkPng's verdict with
// one inflate.
ImportOutcome checkPngChunks(std::FILE* file, PngFacts& facts);

// For a file checkPng passed and something later refuses: the checks' verdict with zlib's
// inflater where the build checks with another, so that the file is refused for the same fault
// everywhere; a pass otherwise.
ImportOutcome confirmPngStream(std::FILE* file);
