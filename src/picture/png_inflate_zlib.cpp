#include <zlib.h>

#include <new>

#include "png_inflate.h"

namespace {

struct ZlibState : InflaterState {
  z_stream stream{};
  // Large pieces keep inflate in its fast loop.
  unsigned char out[1 << 18];
};

InflaterState* startZlib() {
  ZlibState* state = new (std::nothrow) ZlibState;
  if (state != nullptr && inflateInit(&state->stream) != Z_OK) {
    delete state;
    return nullptr;
  }
  return state;
}

void endZlib(InflaterState* base) {
  if (base == nullptr) return;
  ZlibState* state = static_cast<ZlibState*>(base);
  inflateEnd(&state->stream);
  delete state;
}

InflateVerdict inflateZlib(InflaterState& base, const unsigned char* bytes, std::size_t length,
                           TakeInflated take, void* taker) {
  ZlibState& state = static_cast<ZlibState&>(base);
  z_stream& stream = state.stream;
  stream.next_in = const_cast<unsigned char*>(bytes);
  stream.avail_in = static_cast<uInt>(length);
  while (stream.avail_in > 0) {
    stream.next_out = state.out;
    stream.avail_out = sizeof state.out;
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      // Z_NEED_DICT included: a PNG's stream has no preset dictionary.
      return status == Z_MEM_ERROR ? InflateVerdict::kOutOfMemory : InflateVerdict::kBadData;
    }
    if (!take(taker, state.out, sizeof state.out - stream.avail_out)) break;
    if (status == Z_STREAM_END) return InflateVerdict::kEnded;
    if (status == Z_BUF_ERROR && stream.avail_out != 0) break;  // needs more input
  }
  return InflateVerdict::kGoingOn;
}

}  // namespace

const Inflater kZlibInflater = {startZlib, endZlib, inflateZlib};
