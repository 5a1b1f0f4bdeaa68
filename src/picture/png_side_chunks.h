// What a PNG's compressed text and colour profile chunks (zTXt, iTXt, iCCP) inflate to, measured
// as the chunk walk reads them and never kept: a few bytes of such a chunk can inflate to
// gigabytes, and a decoder that inflates them whole (or one that does not read them at all) would
// make the verdict depend on the platform. Each chunk is inflated only up to its bound, and none
// once the bound of all of them is passed, so a hostile file costs about 9 MiB of inflating.
#pragma once

#include <zlib.h>

#include <cstddef>

struct SideChunks {
  z_stream stream{};
  bool streamReady = false;  // inflateInit done
  // The fields before the chunk's compressed body still to pass: 'N' a text ending in a zero
  // byte, 'B' a byte, 'F' iTXt's compression flag (0: the text is stored as it is).
  const char* fieldsLeft = "";
  bool measuring = false;  // inside a chunk whose body is being inflated
  long long chunkInflated = 0;
  long long allInflated = 0;
  bool pastBounds = false;
  unsigned char out[1 << 14];
  ~SideChunks();
};

// Before the data of a chunk of the type given (four letters); chunks of other types are let be.
void startSideChunk(SideChunks& side, const char* type);

// The next bytes of the chunk's data.
void measureSideChunk(SideChunks& side, const unsigned char* bytes, std::size_t length);

// A chunk inflating past kPngSideChunkLimit, or all of them past kPngSideChunksLimit.
inline bool sideChunksPastBounds(const SideChunks& side) { return side.pastBounds; }
