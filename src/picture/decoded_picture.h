// A picture as its file gives it, before it becomes the episode file's palette indices: either
// one index per pixel with the picture's own palette, or one RGBA colour per pixel.
#pragma once

#include <cstdint>

#include "allocation.h"

struct DecodedPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool indexed = true;
  int bitsPerPixel = 8;  // as the file stores a pixel (for what is said about it)
  // Top row first: width x height indices, or width x height x 4 bytes of red, green, blue and
  // alpha (255: opaque).
  Block pixels;
  // The picture's own palette as red, green, blue, alpha; entries past paletteCount are opaque
  // black, which is what an index the palette does not list shows.
  int paletteCount = 0;
  unsigned char palette[256][4] = {};
};

inline std::int64_t pixelCountOf(const DecodedPicture& picture) {
  return std::int64_t{picture.width} * picture.height;
}
