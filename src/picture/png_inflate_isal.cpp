#include <isa-l/igzip_lib.h>

#include <cstdint>
#include <new>

#include "png_inflate.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

struct IsalState : InflaterState {
  inflate_state stream{};
  bool headerSeen = false;
  unsigned char out[1 << 18];
};

InflaterState* startIsal() {
  IsalState* state = new (std::nothrow) IsalState;
  if (state == nullptr) return nullptr;
  isal_inflate_init(&state->stream);
  state->stream.crc_flag = ISAL_ZLIB;  // the header read, the Adler-32 at the end verified
  return state;
}

void endIsal(InflaterState* state) { delete static_cast<IsalState*>(state); }

#if defined(__x86_64__) || defined(__i386__)
// Some of ISA-L's AVX code returns without clearing the upper halves of the vector registers;
// every SSE instruction after that (zlib's compressing, libspng's unfiltering) then runs at
// half speed on the processors that track that state. Only a processor with AVX has the
// state, and only there may the instruction run.
__attribute__((target("avx"))) void clearUpperHalves() { _mm256_zeroupper(); }

void leaveVectorStateClean() {
  static const bool hasAvx = __builtin_cpu_supports("avx");
  if (hasAvx) clearUpperHalves();
}
#else
void leaveVectorStateClean() {}
#endif

// zlib refuses a window past 32 KB in the stream's first byte, and ISA-L reads on; the verdicts
// must agree.
bool windowFits(unsigned char firstByte) { return firstByte >> 4 <= 7; }

InflateVerdict inflateIsal(InflaterState& base, const unsigned char* bytes, std::size_t length,
                           TakeInflated take, void* taker) {
  IsalState& state = static_cast<IsalState&>(base);
  if (length == 0) return InflateVerdict::kGoingOn;
  if (!state.headerSeen) {
    if (!windowFits(bytes[0])) return InflateVerdict::kBadData;
    state.headerSeen = true;
  }
  inflate_state& stream = state.stream;
  stream.next_in = const_cast<unsigned char*>(bytes);
  stream.avail_in = static_cast<std::uint32_t>(length);
  for (;;) {
    stream.next_out = state.out;
    stream.avail_out = sizeof state.out;
    const int status = isal_inflate(&stream);
    leaveVectorStateClean();
    // A stream asking for a preset dictionary is refused, as zlib refuses it: PNG has none.
    if (status < 0 || status == ISAL_NEED_DICT || stream.block_state == ISAL_ZLIB_DICT) {
      return InflateVerdict::kBadData;
    }
    if (!take(taker, state.out, sizeof state.out - stream.avail_out)) break;
    if (stream.block_state == ISAL_BLOCK_FINISH) return InflateVerdict::kEnded;
    // Room left over: ISA-L stops short of a full buffer only when the input is used up.
    if (stream.avail_out != 0) {
      if (stream.avail_in != 0) return InflateVerdict::kBadData;
      break;
    }
  }
  return InflateVerdict::kGoingOn;
}

}  // namespace

const Inflater kIsalInflater = {startIsal, endIsal, inflateIsal};

const Inflater& checkInflater() { return kIsalInflater; }
