// Putting a picture into the game's colours: each pixel's colour becomes the palette colour at
// the least squared RGB distance, the lowest index on ties; exact for every colour, and fast
// through a memo keyed by the whole 24-bit colour.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "decoded_picture.h"
#include "palette_file.h"
#include "picture_import.h"

// The nearest-colour search for one palette. The memo is made of blocks of 16 x 16 x 16
// neighbouring colours, each worked out whole the first time a colour in it is asked for, from
// the few palette colours that can be nearest to any colour of the block: a picture with few
// colours touches few blocks, and all of them together stay below 17 MB. Several threads may ask
// at once: one of them works a block out, and the others search their one colour meanwhile.
struct NearestColours {
  // The colours that may be chosen, each once (of equal colours only the lowest index can be
  // chosen), in index order, and again sorted by red for the search of single colours.
  int count = 0;
  unsigned char red[256];
  unsigned char green[256];
  unsigned char blue[256];
  unsigned char index[256];
  unsigned char redSorted[256];
  unsigned char greenSorted[256];
  unsigned char blueSorted[256];
  unsigned char indexSorted[256];
  // The memo: 4096 blocks of 16 x 16 x 16 neighbouring colours, block after block in one
  // allocation of 16 MB whose pages are only touched as blocks are worked out.
  struct BlockFacts {
    std::atomic<unsigned char> stage;  // not worked out, under way, or known
    // Over the block's colours, each to its answer, the largest squared distance; the most
    // there is when one of them is a choosable colour itself (distance 0). A picture's report
    // needs a pixel's own distance only while this is above the largest it has met so far.
    std::uint32_t distanceToCheck;
  };
  struct MemoRelease {
    void operator()(unsigned char* memo) const;
  };
  std::unique_ptr<unsigned char, MemoRelease> memo;  // the answer of colour memoIndexOf(...)
  std::unique_ptr<BlockFacts[]> facts;               // a block's, by memoIndexOf(...) >> 12
};

// excluded: an index never chosen (the transparent one), or -1. False when no colour is left.
bool prepareNearest(NearestColours& nearest, const Palette& palette, int excluded);

// Where a colour's answer is in the memo: its block (the top four bits of each channel), then
// its place in the block (the low four).
inline unsigned memoIndexOf(unsigned red, unsigned green, unsigned blue) {
  return (red >> 4) << 20 | (green >> 4) << 16 | (blue >> 4) << 12 | (red & 15) << 8 |
         (green & 15) << 4 | (blue & 15);
}

// The palette index for a colour, exactly the brute-force answer.
unsigned char nearestIndex(NearestColours& nearest, unsigned red, unsigned green, unsigned blue);

// The plain search over every colour, the yardstick for the one above.
unsigned char nearestByBruteForce(const Palette& palette, int excluded, unsigned red,
                                  unsigned green, unsigned blue);

// Turns picture.pixels into width x height game palette indices and says what changed. An
// indexed picture whose used entries all show the game's colour at the same index keeps its
// indices (the game's palette may repeat a colour; each copy keeps its own index); one that uses
// an index its own palette does not list is refused. threads: how many share the work, 0 for as
// many as the machine has cores (a small picture is done on one); the answer is the same.
ImportOutcome mapPicture(DecodedPicture& picture, const ImportOptions& options,
                         MappingReport& report, int threads = 0);
