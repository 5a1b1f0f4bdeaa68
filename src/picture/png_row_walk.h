// Walking a PNG's inflated image data row by row, pass by pass, as the checks and the decoder's
// restream both do: each row starts with its filter byte, and the header says how many rows of
// how many bytes each pass has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "picture_import.h"
#include "png_check.h"

struct RowWalk {
  PngFacts facts;
  int passes = 1;
  int pass = -1;
  std::int64_t rowsLeft = 0;   // in this pass, the current row included
  std::int64_t rowBytes = 0;   // of this pass, without the filter byte
  std::int64_t bytesLeft = 0;  // of the current row; 0: the next byte is a filter byte
  bool complete = false;
};

// Stands the walk before the first row of the picture the facts describe.
void startRowWalk(RowWalk& walk, const PngFacts& facts);

// Walks the next inflated bytes; refuses a filter byte past 4. Bytes after the last row are
// let go.
ImportOutcome walkRows(RowWalk& walk, const unsigned char* bytes, std::size_t length);

// The rows' bytes, filter bytes included, that the header promises.
std::int64_t pngRawSize(const PngFacts& facts);
