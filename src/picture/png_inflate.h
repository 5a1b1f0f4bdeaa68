// Inflating a PNG's image data for its checks, which only look at what comes out and let it go.
// zlib's inflater is everywhere; ISA-L's, where the build has it, inflates two to three times as
// fast. Where both finish a stream they give the same bytes, and ISA-L finishes every stream zlib
// finishes. ISA-L also takes streams that zlib refuses: a block whose Huffman code leaves some
// codes unused, which zlib calls an incomplete code. So zlib's verdict is the one that counts:
// the checks give a refusal in zlib's words (png_check.h), and a file ISA-L passed is inflated
// again by libspng's zlib before anything is made of it.
//
// Which inflates what: a picture imported on POSIX has its image data inflated once, by zlib's
// inflater, on its way to libspng (png_restream.h), since that one inflate must also give the
// verdict; a picture only checked (true colour without a palette) is checked with zlib's too,
// for the same reason. The faster inflater checks the files that are checked first and then
// decoded whole (palette files, and a file refused on the way, whose fault is then named the way
// it always was); Windows builds check with zlib's alone.
#pragma once

#include <cstddef>

// What an inflater keeps between pieces. Each inflater's own record extends it under a name of
// its own: two records both called InflaterState would be two definitions of one class in the
// same program, and the linker would keep one constructor for both.
struct InflaterState {};

enum class InflateVerdict {
  kGoingOn,  // all the bytes given are taken; the stream has not ended
  kEnded,    // the stream ended, its checksum verified; bytes after its end are left
  kBadData,
  kOutOfMemory,
};

// Takes the next piece of what the stream inflates to; false stops the inflating of the bytes
// given, and the verdict is then kGoingOn.
using TakeInflated = bool (*)(void* taker, const unsigned char* bytes, std::size_t length);

struct Inflater {
  // A zlib stream's inflater, or null when there is no memory for it.
  InflaterState* (*start)();
  void (*end)(InflaterState* state);
  // The next bytes of the stream, as they come in the file's chunks.
  InflateVerdict (*inflateMore)(InflaterState& state, const unsigned char* bytes,
                                std::size_t length, TakeInflated take, void* taker);
};

extern const Inflater kZlibInflater;
extern const Inflater kIsalInflater;  // in builds that have ISA-L only

// The fastest this build has; the checks use it.
const Inflater& checkInflater();
