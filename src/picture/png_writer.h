// Writing a picture out as an indexed PNG: 8 bits per pixel and a palette (PLTE) of all 256
// entries, so every index keeps its own colour and a reader gets back exactly the stored indices.
// One file per platform behind this header: libspng on POSIX, the Windows Imaging Component on
// Windows.
#pragma once

#include <cstdint>

#include "bitmap_writer.h"
#include "file_identity.h"

// pixels: width x height palette indices, top row first. Written through the safe replace, so a
// failure leaves any existing file as it was, and never over one of `untouchable`. False when
// anything fails (a width or height of 0, which PNG cannot hold, included).
bool writePngFile(const char* path, std::int32_t width, std::int32_t height,
                  const unsigned char* pixels, const Palette& palette,
                  const FileIdentities& untouchable = {});
