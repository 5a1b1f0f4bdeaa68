// Putting a picture into the game's colours: each pixel's colour becomes the palette colour at
// the least squared RGB distance, the lowest index on ties; exact for every colour, and fast
// through answers kept for cells of neighbouring colours.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "allocation.h"
#include "decoded_picture.h"
#include "palette_file.h"
#include "picture_import.h"

// The nearest-colour search for one palette. Colours are taken in cells of 4 x 4 x 4 neighbours,
// a word each in a table of 1 MB that a picture's pixels mostly find in the processor's caches.
// A cell is worked out the first time a colour in it is asked for, from the palette colours that
// can be nearest anywhere in its block of 16 x 16 x 16 (found once per block, among those of its
// region of 64 x 64 x 64, found for the 64 regions at the start). Most cells have
// one answer for all their colours and share the line of 64 answers of that index; the others
// get a line of their own, lines handed out in the order cells are met (a picture with few
// colours touches few of them; all of them together are 16 MB). So every pixel reads its answer
// the same way, with no choice that the processor could guess wrong. Several threads may ask at
// once: one of them works a cell or a block out, and the others meanwhile search their one
// colour, or the cell from its region's colours.
//
// The tables are blocks from the allocation seam (allocation.h), seen as arrays.
struct BlockRelease {
  void operator()(void* block) const { releaseBlock(block); }
};
template <typename T>
using BlockOf = std::unique_ptr<T[], BlockRelease>;

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
  // A cell's word, at cellOf(...): the number of its line of 64 answers (at cellPlaceOf(...)),
  // and above kCellFarShift what a picture's report needs to know of the cell (see kCellFarShift).
  // A cell with one answer for all its colours shares the line of that answer, its index 64
  // times; lines from 256 on are the other cells' own, in the order the cells are met.
  BlockOf<std::atomic<std::uint32_t>> cells;
  BlockOf<unsigned char> lines;
  mutable std::atomic<std::uint32_t> linesUsed{0};
  // The palette's colours by index as red | green << 8 | blue << 16, for the pixels' distances.
  std::uint32_t colourOf[256];
  // A block's candidates: the positions (in index order) of the colours that can be nearest to
  // some colour of the block, 256 places per block, once its stage says they are known.
  BlockOf<std::atomic<unsigned char>> blockStage;
  BlockOf<std::uint16_t> blockCandidateCount;
  BlockOf<unsigned char> blockCandidates;
  // The same for each of the 64 regions of 64 x 64 x 64 colours, worked out with the rest: a
  // block's candidates are found among its region's.
  BlockOf<unsigned char> regionCandidates;
  std::uint16_t regionCandidateCount[64];
};

constexpr std::uint32_t kCellLineMask = (1u << 20) - 1;
// Above kCellFarShift, the largest squared distance of the cell's colours to their answers in
// units of kCellFarUnit rounded up, at most kCellFarMost; or one of the values past it: the cell
// holds a colour that may be chosen (that colour keeps its colour: the report needs each
// pixel's own distance), it is being worked out, or it is not worked out yet. Those two last
// have line 0, so a word read before it is checked still leads to an answer, if a wrong one.
constexpr int kCellFarShift = 20;
constexpr std::uint32_t kCellFarUnit = 64;
constexpr std::uint32_t kCellFarMost = (3 * 255 * 255 + kCellFarUnit - 1) / kCellFarUnit;
constexpr std::uint32_t kCellHoldsColour = (kCellFarMost + 1) << kCellFarShift;
constexpr std::uint32_t kCellUnderWay = (kCellFarMost + 2) << kCellFarShift;
constexpr std::uint32_t kCellNotWorkedOut = (kCellFarMost + 3) << kCellFarShift;

// Whether a cell's word says where its answers are.
inline bool cellKnown(std::uint32_t word) { return word < kCellUnderWay; }

// A colour's cell: the top six bits of each channel.
inline unsigned cellOf(unsigned red, unsigned green, unsigned blue) {
  return (red >> 2) << 12 | (green >> 2) << 6 | (blue >> 2);
}

// A colour's place in its cell's line: the low two bits of each channel.
inline unsigned cellPlaceOf(unsigned red, unsigned green, unsigned blue) {
  return (red & 3) << 4 | (green & 3) << 2 | (blue & 3);
}

// excluded: an index never chosen (the transparent one), or -1. False when no colour is left, or
// when a table could not be allocated (then nothing more is asked of the allocator).
bool prepareNearest(NearestColours& nearest, const Palette& palette, int excluded);

// The palette index for a colour, exactly the brute-force answer (once prepareNearest said true).
unsigned char nearestIndex(NearestColours& nearest, unsigned red, unsigned green, unsigned blue);

// The plain search over every colour, the yardstick for the one above.
unsigned char nearestByBruteForce(const Palette& palette, int excluded, unsigned red,
                                  unsigned green, unsigned blue);

// Turns picture.pixels into width x height game palette indices and says what changed. An
// indexed picture whose used entries all show the game's colour at the same index keeps its
// indices (the game's palette may repeat a colour; each copy keeps its own index); one that uses
// an index its own palette does not list is refused. The answer is the same on any number of
// threads: `threads` of them when it is not 0 (tests), else one for a small picture, and for a
// large one the calling thread and those options.threadBudget spares (without a budget, as many
// as the processors this process may run on), all given back before it returns. A table that
// cannot be allocated is kOutOfMemory. The palette has a colour besides the transparent index
// (the callers refuse one without).
ImportOutcome mapPicture(DecodedPicture& picture, const ImportOptions& options,
                         MappingReport& report, int threads = 0);
