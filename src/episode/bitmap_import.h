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

// Why a picture could not be imported. The importer says nothing itself: each caller words the
// problem its own way (the dialogue in one line, the command line with the details).
enum class ImportProblem {
  kNone,
  kCannotOpen,              // missing, unreadable, or not a regular file
  kNotABitmap,              // the file does not start with the letters B M
  kNotEightBits,            // detail: the bit count found
  kTooShort,                // the file ends inside its headers
  kUnsupportedHeader,       // detail: the information header's size
  kUnsupportedCompression,  // detail: the compression field
  kBadDimensions,           // a negative width, or a height that has no positive row count
  kTopDownRle,              // RLE8 data may not be stored top row first
  kBadPixelOffset,          // detail: the pixel-data offset, inside the headers or past the end
  kTooLarge,                // the picture's size does not fit the 32-bit counts of the format
  kMissingPixels,           // the header promises more pixels than the file holds
  kOutOfMemory,             // no heap block for the pixels or the stream
  kCompressionFailed,       // detail: zlib's status
};

struct ImportOutcome {
  ImportProblem problem = ImportProblem::kNone;
  long long detail = 0;  // what the problem's comment says, 0 otherwise
  bool ok() const { return problem == ImportProblem::kNone; }
};

// Reads, checks, flips and compresses the picture named fileName (used exactly as typed). On
// failure `image` is left as it was and nothing stays allocated or open.
ImportOutcome importBitmap(const char* fileName, ImportedImage& image);

// The same for a file already open for binary reading (the caller closes it), which lets the
// checks run on pictures held in memory.
ImportOutcome importOpenedBitmap(std::FILE* file, ImportedImage& image);

// Reverses the order of the rows of a width x height block of bytes, in place.
void flipRows(unsigned char* pixels, std::int32_t width, std::int32_t height);

// The room given to compress2 for pixelCount input bytes: the count grown by one per cent
// (rounded half up) plus 12, which is above zlib's worst case for any count.
std::int64_t outputCapacity(std::int64_t pixelCount);

// Gives the compressed block back to the heap and empties the record.
void releaseImportedImage(ImportedImage& image);
