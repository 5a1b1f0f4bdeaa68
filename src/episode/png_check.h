// The checks every PNG passes before a decoder sees it, the same on every platform, so that
// each decoder is given only sound files and all of them refuse the same bad ones: every chunk
// walked and its checksum checked, the chunks' order and sizes, the header's values, the image
// data inflated once (in a small buffer) to see each row's filter byte and that no row is
// missing, and the size the header claims held to what the file can hold.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap_import.h"

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

// Reads the whole file from its start; the position is left anywhere.
ImportOutcome checkPng(std::FILE* file, PngFacts& facts);
