// Decoding a PNG that checkPng has passed, one implementation per platform: libspng on POSIX,
// the Windows Imaging Component on Windows. Both give the same DecodedPicture: an indexed PNG its
// indices and palette (alpha from its transparency chunk), any other its pixels as RGBA with 8
// bits a channel (16-bit samples keep their high byte; a transparent colour key gives alpha 0).
#pragma once

#include <cstdio>

#include "decoded_picture.h"
#include "picture_import.h"
#include "png_check.h"

ImportOutcome decodePng(std::FILE* file, const PngFacts& facts, DecodedPicture& picture);

// What both decoders fill first: the size and kind the checks found, and a palette of opaque
// black that the picture's own entries then overwrite.
void describePicture(const PngFacts& facts, DecodedPicture& picture);

// Spreads rows of packed 1-, 2- or 4-bit indices (each row starting on a byte) to a byte each.
void unpackPngRows(const unsigned char* packed, std::size_t stride, int bits, std::int32_t width,
                   std::int32_t height, unsigned char* out);

// checkPng, then decodePng: facts says what the file is. A picture that is not indexed is only
// checked, not decoded, unless decodeTrueColour. The decoder is handed the image data inflated
// and checked on the way (png_restream.h), so a file that passes has it inflated once; the
// verdicts and the pictures are those of checkPng and decodePng one after the other.
ImportOutcome readPng(std::FILE* file, bool decodeTrueColour, PngFacts& facts,
                      DecodedPicture& picture);

// A file checkPngChunks passed, decoded from its restream, one implementation per platform: true
// when the picture is whole and the image data sound; false says nothing of why.
bool decodeRestreamed(std::FILE* file, const PngFacts& facts, DecodedPicture& picture);

// A picture that is not to be decoded (and is refused for that) must still be refused first for
// a fault in its image data: checked with zlib's inflater, whose verdict counts (png_inflate.h),
// so that one inflate gives it.
ImportOutcome checkOnlyPng(std::FILE* file, PngFacts& facts);

// checkPng, then decodePng, one after the other: the image data inflated by each.
ImportOutcome checkThenDecodePng(std::FILE* file, bool decodeTrueColour, PngFacts& facts,
                                 DecodedPicture& picture);
