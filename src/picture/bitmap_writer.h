// Writing a picture out as a plain 8-bit bitmap: 14-byte file header, 40-byte information header,
// a palette of 256 colours, rows bottom row first, each padded to 4 bytes. The importer takes
// such a file back to exactly the same palette indices.
#pragma once

#include <cstdint>

#include "file_identity.h"
#include "palette_file.h"

Palette greyRamp();

// The bitmap format counts a file's bytes in 32 bits: a picture whose file would be larger cannot
// be written at all.
constexpr std::uint64_t kLargestBitmapFile = 0xFFFFFFFFu;

// The size in bytes of the file writeBitmapFile makes for a picture of this size (rows padded to
// 4 bytes); callers check it against kLargestBitmapFile before they spend memory on the pixels.
std::uint64_t bitmapFileSize(std::int32_t width, std::int32_t height);

// pixels: width x height palette indices, top row first. Written through the safe replace, so a
// failure leaves any existing file as it was, and never over one of `untouchable`. False when
// anything fails.
bool writeBitmapFile(const char* path, std::int32_t width, std::int32_t height,
                     const unsigned char* pixels, const Palette& palette,
                     const FileIdentities& untouchable = {});
