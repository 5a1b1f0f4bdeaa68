// Writing a picture out as a plain 8-bit bitmap: 14-byte file header, 40-byte information header,
// a palette of 256 colours, rows bottom row first, each padded to 4 bytes. The importer takes
// such a file back to exactly the same palette indices.
#pragma once

#include <cstdint>

#include "palette_file.h"

Palette greyRamp();

// pixels: width x height palette indices, top row first. Written through the safe replace, so a
// failure leaves any existing file as it was. False when anything fails.
bool writeBitmapFile(const char* path, std::int32_t width, std::int32_t height,
                     const unsigned char* pixels, const Palette& palette);
