// Reading a Windows bitmap of any depth the format has (1, 4, 8, 16, 24 and 32 bits; RLE8,
// RLE4 and bit fields; the OS/2 headers) into a DecodedPicture. Two steps, so that a caller can
// refuse a picture by its header before any pixel block is taken.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>

#include "decoded_picture.h"
#include "picture_import.h"

enum class BitmapCoding { kPlain, kRle8, kRle4, kBitFields };

struct BitmapLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // always the positive row count
  int bitsPerPixel = 8;
  bool topRowFirst = false;
  BitmapCoding coding = BitmapCoding::kPlain;
  std::uint32_t infoSize = 0;
  std::int64_t pixelOffset = 0;
  std::int64_t fileSize = 0;
  std::int64_t pixelCount = 0;
  std::int64_t capacity = 0;
  std::uint32_t masks[4] = {};  // red, green, blue, alpha, for 16 and 32 bits
  std::int64_t paletteOffset = 0;
  int paletteEntries = 0;
  int paletteEntrySize = 4;
};

inline bool bitmapIsIndexed(const BitmapLayout& layout) { return layout.bitsPerPixel <= 8; }

// Checks every header field the pixel read relies on.
ImportOutcome readBitmapLayout(std::FILE* file, BitmapLayout& layout);

// Fills picture (pixels top row first, and the palette of an indexed picture).
ImportOutcome readBitmapPixels(std::FILE* file, const BitmapLayout& layout,
                               DecodedPicture& picture);

// A plain 8-bit bitmap's rows are its indices as they are: they can go on from the file a few at
// a time, with no block for the whole picture. (Rows are found by seeking, which takes a long.)
inline bool bitmapRowsAreIndices(const BitmapLayout& layout) {
  return layout.bitsPerPixel == 8 && layout.coding == BitmapCoding::kPlain &&
         layout.fileSize <= std::numeric_limits<long>::max();
}

// Receives `bytes` indices: whole rows, top row first, without padding.
using TakeRows = std::function<void(const unsigned char* rows, std::size_t bytes)>;

// Hands the rows of a bitmap whose rows are indices to `take`, top row first, read from the file
// a chunk of rows at a time (some 32 KB, or one row when a row is longer) and put in order in
// buffers of its own. kNone, kOutOfMemory for the buffers, or kMissingPixels when the file ends
// early.
ImportProblem readIndexRowsTopFirst(std::FILE* file, const BitmapLayout& layout,
                                    const TakeRows& take);
