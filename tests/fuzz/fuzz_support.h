// Small tools the fuzz targets share. They link the libraries under test and nothing else, so
// this stays a header of its own, apart from the suite's GoogleTest helpers.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// What the stream inflates to; false unless the bytes are exactly one complete zlib stream.
inline bool inflateWhole(const unsigned char* stream, std::size_t length,
                         std::vector<std::uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<unsigned char*>(stream);
  z.avail_in = static_cast<uInt>(length);
  unsigned char chunk[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  }
  inflateEnd(&z);
  return status == Z_STREAM_END && z.avail_in == 0;
}
