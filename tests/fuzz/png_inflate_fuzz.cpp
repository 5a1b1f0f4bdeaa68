// Any byte string as a PNG's image data, given to zlib's inflater and to the checks' own in the
// same pieces (the first byte picks their size). What both give agrees byte for byte, and a
// stream zlib finishes, the checks' inflater finishes with the same bytes: otherwise it would
// turn away, or see other rows in, a picture that zlib takes. It may finish a stream zlib
// refuses (an incomplete Huffman code); zlib's verdict still counts there, as png_inflate.h says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "png_inflate.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "png inflate fuzz: %s\n", what);
  std::abort();
}

// What a stream inflates to, up to 4 MB: enough for any stream of the inputs tried.
struct Taken {
  std::vector<std::uint8_t> bytes;
  bool overflowed = false;
};

bool take(void* taker, const unsigned char* bytes, std::size_t length) {
  Taken& taken = *static_cast<Taken*>(taker);
  if (taken.bytes.size() + length > (std::size_t{4} << 20)) {
    taken.overflowed = true;
    return false;
  }
  taken.bytes.insert(taken.bytes.end(), bytes, bytes + length);
  return true;
}

InflateVerdict inflateAll(const Inflater& inflater, const std::uint8_t* data, std::size_t size,
                          std::size_t piece, Taken& taken) {
  InflaterState* state = inflater.start();
  if (state == nullptr) fail("no inflater");
  InflateVerdict verdict = InflateVerdict::kGoingOn;
  for (std::size_t at = 0; at < size && verdict == InflateVerdict::kGoingOn && !taken.overflowed;
       at += piece) {
    const std::size_t length = size - at < piece ? size - at : piece;
    verdict = inflater.inflateMore(*state, data + at, length, take, &taken);
  }
  inflater.end(state);
  return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t pieces[] = {1, 2, 3, 7, 64, 1000, 4096, 1 << 20};
  const std::size_t piece = pieces[data[0] % (sizeof pieces / sizeof pieces[0])];
  Taken byZlib;
  Taken byChecks;
  const InflateVerdict zlib = inflateAll(kZlibInflater, data + 1, size - 1, piece, byZlib);
  const InflateVerdict checks = inflateAll(checkInflater(), data + 1, size - 1, piece, byChecks);
  if (byZlib.overflowed || byChecks.overflowed) return 0;
  if (zlib == InflateVerdict::kOutOfMemory || checks == InflateVerdict::kOutOfMemory) return 0;
  const std::size_t common = std::min(byZlib.bytes.size(), byChecks.bytes.size());
  if (!std::equal(byZlib.bytes.begin(), byZlib.bytes.begin() + common, byChecks.bytes.begin())) {
    fail("the two inflate to different bytes");
  }
  if (zlib == InflateVerdict::kEnded) {
    if (checks != InflateVerdict::kEnded)
      fail("the checks' inflater does not finish a stream zlib finishes");
    if (byChecks.bytes.size() != byZlib.bytes.size()) fail("the two inflate to different lengths");
  }
  return 0;
}
