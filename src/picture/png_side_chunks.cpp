#include "png_side_chunks.h"

#include <cstring>

#include "picture_import.h"

namespace {

// The fields before the compressed body: zTXt's keyword and method, iCCP's profile name and
// method, iTXt's keyword, flag, method, language tag and translated keyword.
const char* fieldsBeforeBody(const char* type) {
  if (std::memcmp(type, "zTXt", 4) == 0 || std::memcmp(type, "iCCP", 4) == 0) return "NB";
  if (std::memcmp(type, "iTXt", 4) == 0) return "NFBNN";
  return nullptr;
}

// Passes the fields before the body; false while they go on (or when the body is not
// compressed, which also ends the measuring).
bool passFields(SideChunks& side, const unsigned char*& bytes, std::size_t& length) {
  while (*side.fieldsLeft != '\0' && length > 0) {
    const char field = *side.fieldsLeft;
    const unsigned char byte = *bytes++;
    --length;
    if (field == 'F' && byte != 1) {
      side.measuring = false;
      return false;
    }
    if (field != 'N' || byte == 0) ++side.fieldsLeft;
  }
  return *side.fieldsLeft == '\0';
}

// Counts one more piece of inflated bytes against the bounds.
void count(SideChunks& side, std::size_t inflated) {
  side.chunkInflated += static_cast<long long>(inflated);
  side.allInflated += static_cast<long long>(inflated);
  if (side.chunkInflated > kPngSideChunkLimit || side.allInflated > kPngSideChunksLimit) {
    side.pastBounds = true;
    side.measuring = false;
  }
}

}  // namespace

SideChunks::~SideChunks() {
  if (streamReady) inflateEnd(&stream);
}

void startSideChunk(SideChunks& side, const char* type) {
  side.measuring = false;
  if (side.pastBounds) return;
  const char* fields = fieldsBeforeBody(type);
  if (fields == nullptr) return;
  const int status = side.streamReady ? inflateReset(&side.stream) : inflateInit(&side.stream);
  if (status != Z_OK) return;  // no memory to measure with: the decoder's own bound stands
  side.streamReady = true;
  side.fieldsLeft = fields;
  side.measuring = true;
  side.chunkInflated = 0;
}

void measureSideChunk(SideChunks& side, const unsigned char* bytes, std::size_t length) {
  if (!side.measuring || !passFields(side, bytes, length)) return;
  z_stream& stream = side.stream;
  stream.next_in = const_cast<unsigned char*>(bytes);
  stream.avail_in = static_cast<uInt>(length);
  while (side.measuring) {
    stream.next_out = side.out;
    stream.avail_out = sizeof side.out;
    const int status = inflate(&stream, Z_NO_FLUSH);
    count(side, sizeof side.out - stream.avail_out);
    if (status == Z_BUF_ERROR) break;  // the rest of the body comes in the next piece
    // The end of the body, or a body that is no stream: what it inflated to is counted, and the
    // decoder judges the rest.
    if (status != Z_OK) side.measuring = false;
    // A full buffer may leave inflated bytes waiting inside zlib: they are counted now.
    if (stream.avail_in == 0 && stream.avail_out != 0) break;
  }
}
