// Turning an 8-bit bitmap file into the form the episode file stores: the picture's size and its
// palette indices, top row first, as one zlib stream.
#pragma once

#include <cstdint>
#include <cstdio>

struct ImportedImage {
  std::int32_t width;
  std::int32_t height;
  unsigned char* compressedData;  // one zlib stream; the caller owns it (releaseImportedImage)
  std::int32_t compressedSize;
};

// Reads, checks, flips and compresses the picture named fileName (used exactly as typed). Writes
// one line on std::cout saying how it went ("Compression OK\n" on success). On failure `image` is
// left as it was and nothing stays allocated or open.
bool importBitmap(const char* fileName, ImportedImage& image);

// The same for a file already open for binary reading (the caller closes it), which lets the
// checks run on pictures held in memory.
bool importOpenedBitmap(std::FILE* file, ImportedImage& image);

// Reverses the order of the rows of a width x height block of bytes, in place.
void flipRows(unsigned char* pixels, std::int32_t width, std::int32_t height);

// The room given to compress2 for pixelCount input bytes: the count grown by one per cent
// (rounded half up) plus 12, which is above zlib's worst case for any count.
std::int64_t outputCapacity(std::int64_t pixelCount);

// Gives the compressed block back to the heap and empties the record.
void releaseImportedImage(ImportedImage& image);
