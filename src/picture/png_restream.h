// A PNG that checkPngChunks passed, read again as its decoder is to see it: every chunk as it is
// but the image data, which is inflated here (by zlib, whose verdict is the one every platform
// gives), once, its rows checked on the way as checkPng checks them, and handed on as stored
// deflate blocks that the decoder copies instead of inflating them again. The decoder's own
// unfiltering and conversion then make from the same rows the same pixels.
//
// The stored chunks' checksums (each chunk's CRC-32 and the stream's Adler-32) are zeros for a
// decoder that can be told not to verify them (the file's own were verified here), or worked out
// for one that verifies them whatever it is told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "png_check.h"

struct PngRestream;

enum class RestreamChecksums { kZeros, kWorkedOut };

// Null when there is no memory for it. The file is read from its start.
PngRestream* openPngRestream(std::FILE* file, const PngFacts& facts,
                             RestreamChecksums checksums = RestreamChecksums::kZeros);
void closePngRestream(PngRestream* restream);

struct PngRestreamClose {
  void operator()(PngRestream* restream) const { closePngRestream(restream); }
};

// The most bytes the restream of a file of `fileBytes` can hand on: its chunks as they are, and
// the rows in stored chunks of a full stored block each (the last one less), each with its own few
// bytes, however the file's image data is cut into chunks.
std::int64_t pngRestreamBound(std::int64_t fileBytes, const PngFacts& facts);

// Up to `length` bytes of the file as the decoder is to see it; fewer only at its end or at a
// fault, found in the image data or in reading.
std::size_t readPngRestream(PngRestream& restream, unsigned char* into, std::size_t length);

// Reads on to the file's end, past what the decoder needed, and tells whether the image data is
// sound: a stream that ends whole (its Adler-32 verified) after every row, each row's filter
// byte 0 to 4. False says only that checkPng refuses the file; it alone words why.
bool pngRestreamSound(PngRestream& restream);
