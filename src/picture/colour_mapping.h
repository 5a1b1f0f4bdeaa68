// Putting a picture into the game's colours: each pixel's colour becomes the palette colour at
// the least squared RGB distance, the lowest index on ties; exact for every colour, and fast
// through a memo keyed by the whole 24-bit colour.
#pragma once

#include <cstdint>
#include <memory>

#include "decoded_picture.h"
#include "palette_file.h"
#include "picture_import.h"

// The nearest-colour search for one palette. The memo is made of blocks of 16 x 16 x 16
// neighbouring colours, taken when a colour in them is first asked for: a picture with few
// colours touches few, and all of them together stay below 19 MB.
struct NearestColours {
  int count = 0;           // colours that may be chosen
  unsigned char red[256];  // the choosable colours, sorted by red, then by index
  unsigned char green[256];
  unsigned char blue[256];
  unsigned char index[256];
  struct MemoBlock {
    unsigned char known[512];  // one bit per colour of the block
    unsigned char chosen[4096];
  };
  // Blocks come zeroed from calloc, so they go back with free.
  struct MemoRelease {
    void operator()(MemoBlock* block) const;
  };
  using MemoPointer = std::unique_ptr<MemoBlock, MemoRelease>;
  std::unique_ptr<MemoPointer[]> memo;  // 4096 blocks
};

// excluded: an index never chosen (the transparent one), or -1. False when no colour is left.
bool prepareNearest(NearestColours& nearest, const Palette& palette, int excluded);

// The palette index for a colour, exactly the brute-force answer.
unsigned char nearestIndex(NearestColours& nearest, unsigned red, unsigned green, unsigned blue);

// The plain search over every colour, the yardstick for the one above.
unsigned char nearestByBruteForce(const Palette& palette, int excluded, unsigned red,
                                  unsigned green, unsigned blue);

// Turns picture.pixels into width x height game palette indices in place and says what changed.
// An indexed picture whose used entries all show the game's colour at the same index keeps its
// indices (the game's palette may repeat a colour; each copy keeps its own index).
ImportOutcome mapPicture(DecodedPicture& picture, const ImportOptions& options,
                         MappingReport& report);
