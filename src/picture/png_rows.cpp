#include "png_decoder.h"

void unpackPngRows(const unsigned char* packed, std::size_t stride, int bits, std::int32_t width,
                   std::int32_t height, unsigned char* out) {
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (std::int32_t y = 0; y < height; ++y) {
    const unsigned char* row = packed + static_cast<std::size_t>(y) * stride;
    unsigned char* to = out + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (std::int32_t x = 0; x < width; ++x) {
      const int shift = 8 - bits * (x % perByte + 1);
      to[x] = static_cast<unsigned char>((row[x / perByte] >> shift) & mask);
    }
  }
}

void describePicture(const PngFacts& facts, DecodedPicture& picture) {
  picture.width = static_cast<std::int32_t>(facts.width);
  picture.height = static_cast<std::int32_t>(facts.height);
  picture.indexed = pngIsIndexed(facts);
  picture.bitsPerPixel = pngBitsPerPixel(facts);
  for (auto& entry : picture.palette) {
    entry[0] = entry[1] = entry[2] = 0;
    entry[3] = 255;
  }
}
