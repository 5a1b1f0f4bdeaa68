#include "colour_mapping.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "processors.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::size_t kBlocks = 4096;  // of 16 x 16 x 16 colours
constexpr int kBlockSide = 16;
// Below this many pixels a picture is mapped on one thread: starting threads costs more.
constexpr std::int64_t kPixelsWorthThreads = std::int64_t{1} << 16;
constexpr int kMostThreads = 8;

// A table of `count` entries from the allocation seam, zeroed when asked; false when refused.
template <typename T>
bool allocateTable(BlockOf<T>& table, std::size_t count, bool zeroed = false) {
  void* block = zeroed ? allocateZeroedBlock(count, sizeof(T)) : allocateBlock(count * sizeof(T));
  table.reset(static_cast<T*>(block));
  return block != nullptr;
}

std::uint32_t distance2(unsigned r1, unsigned g1, unsigned b1, unsigned r2, unsigned g2,
                        unsigned b2) {
  const int dr = static_cast<int>(r1) - static_cast<int>(r2);
  const int dg = static_cast<int>(g1) - static_cast<int>(g2);
  const int db = static_cast<int>(b1) - static_cast<int>(b2);
  return static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
}

// Palette entries are blue, green, red, 0.
unsigned redOf(const Palette& palette, int i) { return palette.entries[i][2]; }
unsigned greenOf(const Palette& palette, int i) { return palette.entries[i][1]; }
unsigned blueOf(const Palette& palette, int i) { return palette.entries[i][0]; }

// Colours sorted by red: the search starts at the query's red and walks outwards both ways,
// stopping on each side once the red difference alone is beyond the best distance found. A
// colour at the same distance wins only with a lower index, so ties go to the lowest index.
unsigned char searchSorted(const NearestColours& nearest, unsigned red, unsigned green,
                           unsigned blue) {
  const unsigned char* reds = nearest.redSorted;
  int up = static_cast<int>(std::lower_bound(reds, reds + nearest.count, red) - reds);
  int down = up - 1;
  std::uint32_t best = UINT32_MAX;
  int bestIndex = 256;
  auto consider = [&](int at) {
    const std::uint32_t d = distance2(red, green, blue, nearest.redSorted[at],
                                      nearest.greenSorted[at], nearest.blueSorted[at]);
    if (d < best || (d == best && nearest.indexSorted[at] < bestIndex)) {
      best = d;
      bestIndex = nearest.indexSorted[at];
    }
  };
  for (;;) {
    bool moved = false;
    if (up < nearest.count) {
      const std::uint32_t dr = nearest.redSorted[up] - red;
      if (dr * dr <= best) {
        consider(up++);
        moved = true;
      } else {
        up = nearest.count;
      }
    }
    if (down >= 0) {
      const std::uint32_t dr = red - nearest.redSorted[down];
      if (dr * dr <= best) {
        consider(down--);
        moved = true;
      } else {
        down = -1;
      }
    }
    if (!moved) break;
  }
  return static_cast<unsigned char>(bestIndex);
}

// The colours that can still be nearest to some colour of a box, in index order.
struct Candidates {
  int count = 0;
  unsigned char red[256];
  unsigned char green[256];
  unsigned char blue[256];
  unsigned char index[256];
};

// An axis-aligned box of colours: its least corner and its side.
struct Box {
  int red, green, blue, side;
};

std::uint32_t nearestOnAxis(int value, int low, int side) {
  const int d = std::max(std::max(low - value, value - (low + side - 1)), 0);
  return static_cast<std::uint32_t>(d * d);
}

std::uint32_t farthestOnAxis(int value, int low, int side) {
  const int d = std::max(value - low, low + side - 1 - value);
  return static_cast<std::uint32_t>(d * d);
}

// Keeps of `from` the colours that can be the answer for a colour in the box. Every colour of the
// box is within `bound` of the colour whose farthest corner is nearest; a colour whose nearest
// point of the box is farther than that can neither be nearer nor tie. One exactly at the bound
// may tie, and a tie goes to the lower index, so it stays.
void narrow(const Candidates& from, const Box& box, Candidates& to) {
  std::uint32_t nearest[256];
  std::uint32_t bound = UINT32_MAX;
  for (int k = 0; k < from.count; ++k) {
    nearest[k] = nearestOnAxis(from.red[k], box.red, box.side) +
                 nearestOnAxis(from.green[k], box.green, box.side) +
                 nearestOnAxis(from.blue[k], box.blue, box.side);
    const std::uint32_t farthest = farthestOnAxis(from.red[k], box.red, box.side) +
                                   farthestOnAxis(from.green[k], box.green, box.side) +
                                   farthestOnAxis(from.blue[k], box.blue, box.side);
    bound = std::min(bound, farthest);
  }
  to.count = 0;
  for (int k = 0; k < from.count; ++k) {
    if (nearest[k] > bound) continue;
    to.red[to.count] = from.red[k];
    to.green[to.count] = from.green[k];
    to.blue[to.count] = from.blue[k];
    to.index[to.count] = from.index[k];
    ++to.count;
  }
}

constexpr int kCellSide = 4;
constexpr int kCellColours = kCellSide * kCellSide * kCellSide;

// The part of a cell's word that the report reads.
std::uint32_t cellFacts(std::uint32_t farthest, bool holdsColour) {
  if (holdsColour) return kCellHoldsColour;
  return (farthest + kCellFarUnit - 1) / kCellFarUnit << kCellFarShift;
}

std::uint32_t squared(int value) { return static_cast<std::uint32_t>(value * value); }

// Each colour of a cell against the few candidates left, one candidate at a time over the whole
// cell (the distance is a sum of one square per channel, so a row of blues is one sum and a few
// additions), the answers written to the cell's line. Candidates come in index order and only a
// strictly nearer one takes a colour over: the lowest index among the nearest keeps it. Returns
// the facts of the cell's word (see NearestColours::cells).
std::uint32_t searchCell(const Candidates& candidates, const Box& box, unsigned char* line) {
#if defined(__SSE2__)
  // A row of four blues a vector: sixteen of them hold the cell's 64 colours.
  __m128i best[kCellSide * kCellSide];
  __m128i pick[kCellSide * kCellSide];
  for (int rg = 0; rg < kCellSide * kCellSide; ++rg) {
    best[rg] = _mm_set1_epi32(INT32_MAX);
    pick[rg] = _mm_setzero_si128();
  }
  for (int k = 0; k < candidates.count; ++k) {
    std::int32_t reds[kCellSide], greens[kCellSide];
    for (int i = 0; i < kCellSide; ++i) {
      reds[i] = static_cast<std::int32_t>(squared(box.red + i - candidates.red[k]));
      greens[i] = static_cast<std::int32_t>(squared(box.green + i - candidates.green[k]));
    }
    const int blue = box.blue - candidates.blue[k];
    const __m128i blues = _mm_setr_epi32(
        static_cast<std::int32_t>(squared(blue)), static_cast<std::int32_t>(squared(blue + 1)),
        static_cast<std::int32_t>(squared(blue + 2)), static_cast<std::int32_t>(squared(blue + 3)));
    const __m128i index = _mm_set1_epi32(candidates.index[k]);
    for (int rg = 0; rg < kCellSide * kCellSide; ++rg) {
      const __m128i d =
          _mm_add_epi32(_mm_set1_epi32(reds[rg / kCellSide] + greens[rg % kCellSide]), blues);
      const __m128i nearer = _mm_cmplt_epi32(d, best[rg]);
      best[rg] = _mm_or_si128(_mm_and_si128(nearer, d), _mm_andnot_si128(nearer, best[rg]));
      pick[rg] = _mm_or_si128(_mm_and_si128(nearer, index), _mm_andnot_si128(nearer, pick[rg]));
    }
  }
  __m128 farthest = _mm_setzero_ps();  // exact: every distance is below 2^18
  __m128i zeros = _mm_setzero_si128();
  for (int rg = 0; rg < kCellSide * kCellSide; rg += 4) {
    const __m128i low = _mm_packs_epi32(pick[rg], pick[rg + 1]);
    const __m128i high = _mm_packs_epi32(pick[rg + 2], pick[rg + 3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + 4 * rg), _mm_packus_epi16(low, high));
  }
  for (int rg = 0; rg < kCellSide * kCellSide; ++rg) {
    farthest = _mm_max_ps(farthest, _mm_cvtepi32_ps(best[rg]));
    zeros = _mm_or_si128(zeros, _mm_cmpeq_epi32(best[rg], _mm_setzero_si128()));
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, farthest);
  const float most = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  return cellFacts(static_cast<std::uint32_t>(most), _mm_movemask_epi8(zeros) != 0);
#else
  std::uint32_t best[kCellColours];
  std::uint32_t pick[kCellColours] = {};
  std::fill(best, best + kCellColours, UINT32_MAX);
  for (int k = 0; k < candidates.count; ++k) {
    std::uint32_t reds[kCellSide], greens[kCellSide], blues[kCellSide];
    for (int i = 0; i < kCellSide; ++i) {
      reds[i] = squared(box.red + i - candidates.red[k]);
      greens[i] = squared(box.green + i - candidates.green[k]);
      blues[i] = squared(box.blue + i - candidates.blue[k]);
    }
    const std::uint32_t index = candidates.index[k];
    for (int rg = 0; rg < kCellSide * kCellSide; ++rg) {
      const std::uint32_t base = reds[rg / kCellSide] + greens[rg % kCellSide];
      std::uint32_t* rowBest = best + rg * kCellSide;
      std::uint32_t* rowPick = pick + rg * kCellSide;
      for (int b = 0; b < kCellSide; ++b) {
        const std::uint32_t d = base + blues[b];
        const bool nearer = d < rowBest[b];
        rowBest[b] = nearer ? d : rowBest[b];
        rowPick[b] = nearer ? index : rowPick[b];
      }
    }
  }
  for (int at = 0; at < kCellColours; ++at) line[at] = static_cast<unsigned char>(pick[at]);
  const std::uint32_t farthest = *std::max_element(best, best + kCellColours);
  const bool holdsColour = *std::min_element(best, best + kCellColours) == 0;
  return cellFacts(farthest, holdsColour);
#endif
}

// The most by which a colour of the box can be farther from `chosen` than from `other`: the
// difference of the squared distances is a sum of one term per channel, each linear in that
// channel, so the most of each is at one end of the box's side.
int mostFartherThan(const Candidates& candidates, int chosen, int other, const Box& box) {
  auto most = [&](int low, int from, int to) {
    const int top = low + box.side - 1;
    return std::max(static_cast<int>(squared(low - from) - squared(low - to)),
                    static_cast<int>(squared(top - from) - squared(top - to)));
  };
  return most(box.red, candidates.red[chosen], candidates.red[other]) +
         most(box.green, candidates.green[chosen], candidates.green[other]) +
         most(box.blue, candidates.blue[chosen], candidates.blue[other]);
}

// Whether one candidate is the answer for every colour of the box: the answer for its least
// corner, if no other candidate comes nearer anywhere in the box, nor as near with a lower
// index. Exact, where narrowing alone leaves neighbours that never win. -1 when not.
int answerForWholeBox(const Candidates& candidates, const Box& box) {
  int chosen = 0;
  std::uint32_t best = UINT32_MAX;
  for (int k = 0; k < candidates.count; ++k) {
    const std::uint32_t d = distance2(box.red, box.green, box.blue, candidates.red[k],
                                      candidates.green[k], candidates.blue[k]);
    if (d < best) {
      best = d;
      chosen = k;
    }
  }
  for (int k = 0; k < candidates.count; ++k) {
    if (k == chosen) continue;
    const int most = mostFartherThan(candidates, chosen, k, box);
    if (most > 0 || (most == 0 && k < chosen)) return -1;
  }
  return chosen;
}

Box blockOf(unsigned block) {
  return Box{static_cast<int>(block >> 8) * kBlockSide,
             static_cast<int>(block >> 4 & 15) * kBlockSide,
             static_cast<int>(block & 15) * kBlockSide, kBlockSide};
}

void allColours(const NearestColours& nearest, Candidates& all) {
  all.count = nearest.count;
  std::copy(nearest.red, nearest.red + nearest.count, all.red);
  std::copy(nearest.green, nearest.green + nearest.count, all.green);
  std::copy(nearest.blue, nearest.blue + nearest.count, all.blue);
  std::copy(nearest.index, nearest.index + nearest.count, all.index);
}

// The colours at `positions` (places in the index-ordered colours).
void colourAt(const NearestColours& nearest, const unsigned char* positions, int count,
              Candidates& to) {
  to.count = count;
  for (int k = 0; k < count; ++k) {
    to.red[k] = nearest.red[positions[k]];
    to.green[k] = nearest.green[positions[k]];
    to.blue[k] = nearest.blue[positions[k]];
    to.index[k] = nearest.index[positions[k]];
  }
}

// Narrows `from` (the colours at fromPositions) to the box, and keeps the positions of those left.
int narrowPositions(const unsigned char* fromPositions, const Candidates& from, const Box& box,
                    Candidates& to, unsigned char* positions) {
  narrow(from, box, to);
  int kept = 0;
  for (int k = 0; k < from.count && kept < to.count; ++k) {
    if (from.index[k] == to.index[kept]) positions[kept++] = fromPositions[k];
  }
  return kept;
}

constexpr int kRegionSide = 64;

// The region of 64 x 64 x 64 colours a block lies in: the top two bits of each channel.
unsigned regionOfBlock(unsigned block) {
  return (block >> 10) << 4 | (block >> 6 & 3) << 2 | (block >> 2 & 3);
}

Box regionBox(unsigned region) {
  return Box{static_cast<int>(region >> 4) * kRegionSide,
             static_cast<int>(region >> 2 & 3) * kRegionSide,
             static_cast<int>(region & 3) * kRegionSide, kRegionSide};
}

enum BlockStage : unsigned char { kNotWorkedOut, kUnderWay, kKnown };

// The candidates of a cell's block, found on the block's first use among its region's; the
// region's while another thread is finding them.
void candidatesAround(const NearestColours& nearest, unsigned block, Candidates& around) {
  std::atomic<unsigned char>& stage = nearest.blockStage[block];
  unsigned char seen = stage.load(std::memory_order_acquire);
  unsigned char* positions = nearest.blockCandidates.get() + std::size_t{block} * 256;
  const unsigned region = regionOfBlock(block);
  const unsigned char* regionPositions = nearest.regionCandidates.get() + std::size_t{region} * 256;
  if (seen == kNotWorkedOut && stage.compare_exchange_strong(seen, kUnderWay)) {
    Candidates inRegion;
    colourAt(nearest, regionPositions, nearest.regionCandidateCount[region], inRegion);
    nearest.blockCandidateCount[block] = static_cast<std::uint16_t>(
        narrowPositions(regionPositions, inRegion, blockOf(block), around, positions));
    stage.store(kKnown, std::memory_order_release);
    return;
  }
  if (seen != kKnown) {
    return colourAt(nearest, regionPositions, nearest.regionCandidateCount[region], around);
  }
  colourAt(nearest, positions, nearest.blockCandidateCount[block], around);
}

constexpr std::uint32_t kAnswerLines = 256;  // line i: index i for every colour of a cell

// A cell's word (see NearestColours::cells): the line of its one answer, or a line of its own.
std::uint32_t solveCell(const NearestColours& nearest, unsigned cell) {
  const Box box{static_cast<int>(cell >> 12) * kCellSide,
                static_cast<int>(cell >> 6 & 63) * kCellSide,
                static_cast<int>(cell & 63) * kCellSide, kCellSide};
  Candidates around;
  candidatesAround(nearest,
                   static_cast<unsigned>(box.red / kBlockSide << 8 | box.green / kBlockSide << 4 |
                                         box.blue / kBlockSide),
                   around);
  Candidates candidates;
  narrow(around, box, candidates);
  const int chosen = candidates.count == 1 ? 0 : answerForWholeBox(candidates, box);
  if (chosen >= 0) {
    const int red = candidates.red[chosen];
    const int green = candidates.green[chosen];
    const int blue = candidates.blue[chosen];
    // The farthest colour of a box is one of its corners. The answer is the only choosable
    // colour the cell can hold: any other would be its own answer.
    const std::uint32_t farthest = farthestOnAxis(red, box.red, box.side) +
                                   farthestOnAxis(green, box.green, box.side) +
                                   farthestOnAxis(blue, box.blue, box.side);
    const bool holdsAnswer = nearestOnAxis(red, box.red, box.side) +
                                 nearestOnAxis(green, box.green, box.side) +
                                 nearestOnAxis(blue, box.blue, box.side) ==
                             0;
    return cellFacts(farthest, holdsAnswer) | candidates.index[chosen];
  }
  // Each cell is worked out once, so the lines never run out.
  const std::uint32_t line =
      kAnswerLines + nearest.linesUsed.fetch_add(1, std::memory_order_relaxed);
  return searchCell(candidates, box, nearest.lines.get() + std::size_t{line} * kCellColours) | line;
}

// A cell's word, worked out on first use; 0 while another thread is working it out (the caller
// then searches its one colour itself rather than wait). (A known word is never 0: the colours
// of a cell are never all at distance 0 from one answer, and own lines are numbered from 256.)
std::uint32_t knowCell(const NearestColours& nearest, unsigned cell) {
  std::atomic<std::uint32_t>& word = nearest.cells[cell];
  std::uint32_t seen = word.load(std::memory_order_acquire);
  if (seen == kCellNotWorkedOut &&
      word.compare_exchange_strong(seen, kCellUnderWay, std::memory_order_acquire)) {
    seen = solveCell(nearest, cell);
    word.store(seen, std::memory_order_release);
  }
  return cellKnown(seen) ? seen : 0;
}

// The answer in a known cell's line.
unsigned char answerIn(const unsigned char* lines, std::uint32_t word, unsigned place) {
  return lines[std::size_t{word & kCellLineMask} * kCellColours + place];
}

unsigned char lookUp(const NearestColours& nearest, unsigned red, unsigned green, unsigned blue) {
  const unsigned cell = cellOf(red, green, blue);
  std::uint32_t word = nearest.cells[cell].load(std::memory_order_acquire);
  if (!cellKnown(word)) word = knowCell(nearest, cell);
  if (word == 0) return searchSorted(nearest, red, green, blue);
  return answerIn(nearest.lines.get(), word, cellPlaceOf(red, green, blue));
}

struct Histogram {
  std::int64_t pixels[256] = {};
};

std::uint32_t packed(const unsigned char* rgb) {
  return std::uint32_t{rgb[0]} << 16 | std::uint32_t{rgb[1]} << 8 | rgb[2];
}

// What each pixel is: its colour and whether it becomes the transparent index.
struct PixelSource {
  const DecodedPicture& picture;
  int transparentIndex;
  const unsigned char* colourAt(std::int64_t i) const {
    return picture.indexed ? picture.palette[picture.pixels.get()[i]]
                           : picture.pixels.get() + 4 * i;
  }
};

void countAlpha(unsigned alpha, int transparentIndex, MappingReport& report,
                std::int64_t pixels = 1) {
  if (alpha == 255) return;
  if (alpha == 0 && transparentIndex >= 0) {
    report.transparentPixels += pixels;
  } else if (alpha == 0) {
    report.alphaIgnored += pixels;
  } else {
    report.partlyTransparent += pixels;
  }
}

void noteChange(std::uint32_t d, MappingReport& report) {
  if (d == 0) return;
  ++report.changedPixels;
  report.largestDistance2 = std::max(report.largestDistance2, d);
}

// The parts of a report counted by several threads, added up.
void addReport(const MappingReport& part, MappingReport& report) {
  report.changedPixels += part.changedPixels;
  report.largestDistance2 = std::max(report.largestDistance2, part.largestDistance2);
  report.transparentPixels += part.transparentPixels;
  report.partlyTransparent += part.partlyTransparent;
  report.alphaIgnored += part.alphaIgnored;
}

ImportOutcome pixelProblem(const DecodedPicture& picture, ImportProblem problem, std::int64_t i) {
  ImportOutcome outcome{problem, 0};
  outcome.x = static_cast<std::int32_t>(i % std::max(picture.width, 1));
  outcome.y = static_cast<std::int32_t>(i / std::max(picture.width, 1));
  return outcome;
}

ImportOutcome notInPalette(const DecodedPicture& picture, std::int64_t i, std::uint32_t colour) {
  ImportOutcome outcome = pixelProblem(picture, ImportProblem::kColourNotInPalette, i);
  outcome.colour = colour;
  return outcome;
}

// How many threads share the mapping (see mapPicture); those taken from the budget go in `taken`.
int threadsFor(const DecodedPicture& picture, int asked, ThreadBudget* budget, int& taken) {
  taken = 0;
  const int rows = std::max(picture.height, 1);
  if (asked > 0) return std::min(asked, rows);
  if (pixelCountOf(picture) < kPixelsWorthThreads) return 1;
  const int most = std::min(kMostThreads, rows);
  if (budget == nullptr) return std::min(processorCount(), most);
  taken = takeThreads(*budget, most - 1);
  return 1 + taken;
}

// Runs work(0) .. work(count - 1), each but the last on a thread of its own. When a thread cannot
// be started, neither it nor the ones after it are tried: their shares are left to this thread,
// in order, once the threads that did start are done. So a share may wait only for work taken by
// a thread already running (the dither's rows are taken as they come, by whichever runs).
template <typename Work>
void runOnThreads(int count, const Work& work) {
  std::vector<std::thread> started;
  int part = 0;
  for (; part + 1 < count; ++part) {
    try {
      started.push_back(startThread([&work, part] { work(part); }));
    } catch (const std::exception&) {
      break;  // no thread to be had (system_error, or bad_alloc)
    }
  }
  const int firstLeft = part;
  work(count - 1);
  for (std::thread& thread : started) thread.join();
  for (part = firstLeft; part + 1 < count; ++part) work(part);
}

// What one thread of the plain mapping found: its share of the report, and the first pixel of
// its rows whose colour the palette lacks when exact colours are asked for (-1: none).
struct RowsDone {
  MappingReport report;
  std::int64_t refusedAt = -1;
  std::uint32_t refusedColour = 0;
};

// What pixels add to the report: how many changed colour, and the largest squared distance.
struct Distances {
  std::int64_t changed = 0;
  std::uint32_t largest = 0;
};

// A colour as NearestColours::colourOf holds it.
std::uint32_t packedColour(const unsigned char* rgb) {
  return std::uint32_t{rgb[0]} | std::uint32_t{rgb[1]} << 8 | std::uint32_t{rgb[2]} << 16;
}

std::uint32_t distanceToGot(const unsigned char* rgba, std::uint32_t got) {
  return distance2(rgba[0], rgba[1], rgba[2], got & 255, got >> 8 & 255, got >> 16);
}

// The distances of `count` pixels from the colours they got (red | green << 8 | blue << 16), four
// at a time where the processor can.
void addDistances(const unsigned char* rgba, const std::uint32_t* got, int count,
                  Distances& distances) {
  int i = 0;
#if defined(__SSE2__)
  const __m128i colourBytes = _mm_set1_epi32(0x00FFFFFF);
  const __m128i zero = _mm_setzero_si128();
  __m128i kept = zero;                // per lane, minus how many kept their colour
  __m128 largest = _mm_setzero_ps();  // exact: every distance is below 2^18
  for (; i + 4 <= count; i += 4) {
    const __m128i pixels =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 4 * i)), colourBytes);
    const __m128i colours = _mm_loadu_si128(reinterpret_cast<const __m128i*>(got + i));
    const __m128i low =
        _mm_sub_epi16(_mm_unpacklo_epi8(pixels, zero), _mm_unpacklo_epi8(colours, zero));
    const __m128i high =
        _mm_sub_epi16(_mm_unpackhi_epi8(pixels, zero), _mm_unpackhi_epi8(colours, zero));
    // Per pixel, red^2 + green^2 and blue^2 side by side: the evens and the odds added.
    const __m128 lowSums = _mm_castsi128_ps(_mm_madd_epi16(low, low));
    const __m128 highSums = _mm_castsi128_ps(_mm_madd_epi16(high, high));
    const __m128i d =
        _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(lowSums, highSums, _MM_SHUFFLE(2, 0, 2, 0))),
                      _mm_castps_si128(_mm_shuffle_ps(lowSums, highSums, _MM_SHUFFLE(3, 1, 3, 1))));
    kept = _mm_add_epi32(kept, _mm_cmpeq_epi32(d, zero));
    largest = _mm_max_ps(largest, _mm_cvtepi32_ps(d));
  }
  alignas(16) std::int32_t keptLanes[4];
  alignas(16) float largestLanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(keptLanes), kept);
  _mm_store_ps(largestLanes, largest);
  distances.changed += i;
  for (int lane = 0; lane < 4; ++lane) {
    distances.changed += keptLanes[lane];
    distances.largest = std::max(distances.largest, static_cast<std::uint32_t>(largestLanes[lane]));
  }
#endif
  for (; i < count; ++i) {
    const std::uint32_t d = distanceToGot(rgba + 4 * i, got[i]);
    distances.changed += d != 0;
    distances.largest = std::max(distances.largest, d);
  }
}

// Pixels taken a step at a time. A run that meets a cell not worked out yet is gone over again,
// so a short run goes over fewer pixels twice while the cells are being met.
constexpr int kRun = 64;

// Each pixel's cell and its place in the cell's line, four pixels at a time where the processor
// can: the colour's top six bits of each channel and its low two, taken from the pixel as one
// word (red in its lowest byte), as cellOf and cellPlaceOf lay them out. Returns the bits all the
// pixels' alpha bytes share.
unsigned cellsAndPlaces(const unsigned char* rgba, int count, std::uint32_t* cell,
                        std::uint32_t* place) {
  int i = 0;
  unsigned opaque = 255;
#if defined(__SSE2__)
  const __m128i redHigh = _mm_set1_epi32(0x3F000), greenHigh = _mm_set1_epi32(0xFC0),
                blueHigh = _mm_set1_epi32(0x3F), redLow = _mm_set1_epi32(0x30),
                greenLow = _mm_set1_epi32(0xC), blueLow = _mm_set1_epi32(0x3);
  __m128i alpha = _mm_set1_epi32(-1);
  for (; i + 4 <= count; i += 4) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 4 * i));
    alpha = _mm_and_si128(alpha, p);
    const __m128i c = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_slli_epi32(p, 10), redHigh),
                                                _mm_and_si128(_mm_srli_epi32(p, 4), greenHigh)),
                                   _mm_and_si128(_mm_srli_epi32(p, 18), blueHigh));
    const __m128i l = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_slli_epi32(p, 4), redLow),
                                                _mm_and_si128(_mm_srli_epi32(p, 6), greenLow)),
                                   _mm_and_si128(_mm_srli_epi32(p, 16), blueLow));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cell + i), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(place + i), l);
  }
  alignas(16) std::uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), alpha);
  opaque = lanes[0] >> 24 & lanes[1] >> 24 & lanes[2] >> 24 & lanes[3] >> 24;
#endif
  for (; i < count; ++i) {
    const unsigned char* pixel = rgba + 4 * i;
    cell[i] = cellOf(pixel[0], pixel[1], pixel[2]);
    place[i] = cellPlaceOf(pixel[0], pixel[1], pixel[2]);
    opaque &= pixel[3];
  }
  return opaque;
}

// The answers of a run of pixels, worked out in two steps over the whole run, each step's pixels
// independent of one another, so the processor has many of them under way at once and none of
// them branches on the colour: each pixel's cell and place, then its cell's word and its answer.
// Cells not worked out yet are seen to afterwards. Returns the largest of the cells' words (its
// distance part is what the report needs), and whether every pixel is opaque.
struct RunFacts {
  std::uint32_t largestWord = 0;
  bool opaque = true;
};

RunFacts answersOf(const NearestColours& nearest, const unsigned char* rgba, int count,
                   unsigned char* chosen) {
  alignas(16) std::uint32_t cell[kRun];
  alignas(16) std::uint32_t place[kRun];
  const unsigned opaque = cellsAndPlaces(rgba, count, cell, place);
  const std::atomic<std::uint32_t>* cells = nearest.cells.get();
  const unsigned char* lines = nearest.lines.get();
  std::uint32_t largest = 0;
  // Unrolled, more pixels are under way at once: this loop is most of the mapping's time.
#pragma GCC unroll 8
  for (int i = 0; i < count; ++i) {
    const std::uint32_t word = cells[cell[i]].load(std::memory_order_acquire);
    largest = std::max(largest, word);
    chosen[i] = answerIn(lines, word, place[i]);
  }
  if (!cellKnown(largest)) {
    largest = 0;
    for (int i = 0; i < count; ++i) {
      std::uint32_t word = cells[cell[i]].load(std::memory_order_acquire);
      if (!cellKnown(word)) word = knowCell(nearest, cell[i]);
      if (word != 0) {
        chosen[i] = answerIn(lines, word, place[i]);
      } else {  // being worked out by another thread: this colour searched on its own
        chosen[i] = searchSorted(nearest, rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2]);
        word = kCellHoldsColour;
      }
      largest = std::max(largest, word);
    }
  }
  return RunFacts{largest, opaque == 255};
}

// Nearest colours pixel by pixel (true colour) for the pixels first .. end - 1, pixel i's index
// written at out[i - first]: a run's answers, then its pixels that are not opaque, then what it
// adds to the report. Its cells' words mostly settle that: when none of them holds a colour that
// may be chosen, every pixel changes colour, and when none is farther from its answers than the
// largest distance met so far, no pixel can raise it. A run's indices are kept aside until then,
// as `out` may overlap the run's own colours.
void mapPixels(const DecodedPicture& picture, const ImportOptions& options,
               const NearestColours& nearest, std::int64_t first, std::int64_t end,
               unsigned char* out, RowsDone& done) {
  const unsigned char* pixels = picture.pixels.get();
  const int transparentIndex = options.transparentIndex;
  Distances distances;
  for (std::int64_t start = first; start < end; start += kRun) {
    const int count = static_cast<int>(std::min<std::int64_t>(kRun, end - start));
    const unsigned char* rgba = pixels + 4 * start;
    unsigned char chosen[kRun];
    const RunFacts facts = answersOf(nearest, rgba, count, chosen);
    if (facts.opaque && !options.exactColours &&
        (facts.largestWord >> kCellFarShift) * kCellFarUnit <= distances.largest) {
      distances.changed += count;
    } else {
      std::uint32_t got[kRun];
      for (int i = 0; i < count; ++i) got[i] = nearest.colourOf[chosen[i]];
      for (int i = 0; !facts.opaque && i < count; ++i) {
        const unsigned char* pixel = rgba + 4 * i;
        countAlpha(pixel[3], transparentIndex, done.report);
        if (pixel[3] == 0 && transparentIndex >= 0) {
          chosen[i] = static_cast<unsigned char>(transparentIndex);
          got[i] = packedColour(pixel);  // no distance: not counted as changed
        }
      }
      if (options.exactColours) {
        for (int i = 0; i < count; ++i) {
          if (distanceToGot(rgba + 4 * i, got[i]) != 0) {
            done.refusedAt = start + i;
            done.refusedColour = packed(rgba + 4 * i);
            return;
          }
        }
      }
      addDistances(rgba, got, count, distances);
    }
    std::memcpy(out + (start - first), chosen, static_cast<std::size_t>(count));
  }
  done.report.changedPixels += distances.changed;
  done.report.largestDistance2 = std::max(done.report.largestDistance2, distances.largest);
}

// True colour, in place: the rows shared out among the threads, each share's indices written
// from the start of the share's own colours, over colours it has already read (so no thread
// writes where another still reads), then moved down to their places.
ImportOutcome mapEachPixel(DecodedPicture& picture, const ImportOptions& options,
                           const NearestColours& nearest, int threads, MappingReport& report) {
  unsigned char* pixels = picture.pixels.get();
  std::vector<RowsDone> done(static_cast<std::size_t>(threads));
  auto firstPixel = [&](int part) {
    return std::int64_t{picture.height} * part / threads * picture.width;
  };
  runOnThreads(threads, [&](int part) {
    mapPixels(picture, options, nearest, firstPixel(part), firstPixel(part + 1),
              pixels + 4 * firstPixel(part), done[static_cast<std::size_t>(part)]);
  });
  for (const RowsDone& part : done) {
    if (part.refusedAt >= 0) return notInPalette(picture, part.refusedAt, part.refusedColour);
    addReport(part.report, report);
  }
  for (int part = 1; part < threads; ++part) {
    std::memmove(pixels + firstPixel(part), pixels + 4 * firstPixel(part),
                 static_cast<std::size_t>(firstPixel(part + 1) - firstPixel(part)));
  }
  return {};
}

// An indexed picture maps through a table of its entries.
ImportOutcome mapThroughTable(DecodedPicture& picture, const ImportOptions& options,
                              const unsigned char (&table)[256],
                              const std::uint32_t (&distances)[256], const Histogram& used,
                              MappingReport& report) {
  unsigned char* pixels = picture.pixels.get();
  const std::int64_t count = pixelCountOf(picture);
  if (options.exactColours) {
    for (std::int64_t i = 0; i < count; ++i) {
      if (distances[pixels[i]] != 0) {
        return notInPalette(picture, i, packed(picture.palette[pixels[i]]));
      }
    }
  }
  for (int entry = 0; entry < 256; ++entry) {
    const std::int64_t n = used.pixels[entry];
    if (n == 0) continue;
    countAlpha(picture.palette[entry][3], options.transparentIndex, report, n);
    if (distances[entry] != 0) {
      report.changedPixels += n;
      report.largestDistance2 = std::max(report.largestDistance2, distances[entry]);
    }
  }
  for (std::int64_t i = 0; i < count; ++i) pixels[i] = table[pixels[i]];
  return {};
}

int clampChannel(int value) { return std::min(255, std::max(0, value)); }

// Floyd-Steinberg: each pixel's error (what it wanted less the colour it got) goes on to the
// pixels not yet chosen, 7/16 right, 3/16 below left, 5/16 below and 1/16 below right. Errors are
// kept in sixteenths, a row of them for each row of pixels under way.
//
// The error of a pixel depends on every pixel before it, but only through the row above up to
// two pixels to its right: so the threads take rows in turn, each row following the one above
// it at least three pixels behind (then the row above has nothing left to add where this row adds
// its own), and every pixel sees the very sums it would on one thread. Rows are taken in order by
// whichever thread is free, so a row only ever waits for rows already under way.

// How far behind the row above a row keeps, where three pixels would do: so far apart, the two
// threads never write the same cache lines of errors, and the one behind seldom has to wait
// (each wait gives up the processor). On a 4096-pixel row, 2 threads took 0.18 s with three
// pixels and 0.15 s with this.
constexpr std::int64_t kRowLead = 256;
static_assert(kRowLead >= 3, "a row must follow the one above at least three pixels behind");

// A row's progress, on a cache line of its own: one thread writes it while another reads the row
// before's.
struct alignas(64) RowProgress {
  std::atomic<std::int64_t> mark{-1};
};

struct DitherRun {
  const DecodedPicture& picture;
  const ImportOptions& options;
  const NearestColours& nearest;
  int rings;                // rows of errors and of progress, used round and round
  std::size_t errorStride;  // (width + 2) x 3 sixteenths a row
  int* errors;
  // For each row under way, at row % rings, how far it is: row x (width + 2) + pixels done,
  // width + 1 once the row is done and its errors are cleared for reuse. Only ever grows.
  RowProgress* progress;
};

constexpr int kPublishEvery = 64;  // pixels between two reports of progress

std::int64_t progressMark(const DitherRun& run, std::int64_t row, std::int64_t pixels) {
  return row * (run.picture.width + 2) + pixels;
}

void waitFor(const DitherRun& run, std::int64_t row, std::int64_t pixels) {
  if (row < 0) return;
  const std::atomic<std::int64_t>& other = run.progress[row % run.rings].mark;
  const std::int64_t mark = progressMark(run, row, pixels);
  while (other.load(std::memory_order_acquire) < mark) std::this_thread::yield();
}

void ditherRow(const DitherRun& run, std::int32_t y, MappingReport& report) {
  const DecodedPicture& picture = run.picture;
  const Palette& palette = run.options.palette;
  const int transparentIndex = run.options.transparentIndex;
  const std::int64_t width = picture.width;
  // This row's progress, and the row below's errors, start where rows now done left them.
  waitFor(run, std::int64_t{y} - run.rings, width + 1);
  waitFor(run, std::int64_t{y} + 1 - run.rings, width + 1);
  std::atomic<std::int64_t>& mine = run.progress[y % run.rings].mark;
  int* current = run.errors + static_cast<std::size_t>(y % run.rings) * run.errorStride;
  int* next = run.errors + static_cast<std::size_t>((y + 1) % run.rings) * run.errorStride;
  const PixelSource source{picture, transparentIndex};
  // A row's indices go from the start of the row's own colours: over colours it has read, and
  // that no other row reads.
  unsigned char* out = picture.pixels.get() + (picture.indexed ? 1 : 4) * std::int64_t{y} * width;
  std::int64_t aboveSeen = -1;  // pixels of the row above known to be done
  for (std::int64_t x = 0; x < width; ++x) {
    const std::int64_t needed = std::min(x + kRowLead, width);
    if (y > 0 && aboveSeen < needed) {
      waitFor(run, y - 1, needed);
      aboveSeen =
          std::min(width, run.progress[(y - 1) % run.rings].mark.load(std::memory_order_acquire) -
                              progressMark(run, y - 1, 0));
    }
    if (x % kPublishEvery == 0) mine.store(progressMark(run, y, x), std::memory_order_release);
    const std::int64_t i = std::int64_t{y} * width + x;
    const unsigned char* rgba = source.colourAt(i);
    const unsigned char original[4] = {rgba[0], rgba[1], rgba[2], rgba[3]};
    countAlpha(original[3], transparentIndex, report);
    if (original[3] == 0 && transparentIndex >= 0) {
      out[x] = static_cast<unsigned char>(transparentIndex);
      continue;
    }
    int* here = current + (x + 1) * 3;
    int wanted[3];
    for (int c = 0; c < 3; ++c) wanted[c] = clampChannel(original[c] + here[c] / 16);
    const unsigned char chosen = lookUp(run.nearest, wanted[0], wanted[1], wanted[2]);
    const int got[3] = {static_cast<int>(redOf(palette, chosen)),
                        static_cast<int>(greenOf(palette, chosen)),
                        static_cast<int>(blueOf(palette, chosen))};
    noteChange(distance2(original[0], original[1], original[2], got[0], got[1], got[2]), report);
    for (int c = 0; c < 3; ++c) {
      const int error = wanted[c] - got[c];
      here[3 + c] += error * 7;
      next[x * 3 + c] += error * 3;
      next[(x + 1) * 3 + c] += error * 5;
      next[(x + 2) * 3 + c] += error;
    }
    out[x] = chosen;
  }
  mine.store(progressMark(run, y, width), std::memory_order_release);
  std::fill(current, current + run.errorStride, 0);
  mine.store(progressMark(run, y, width + 1), std::memory_order_release);
}

ImportOutcome dither(DecodedPicture& picture, const ImportOptions& options,
                     const NearestColours& nearest, int threads, MappingReport& report) {
  const std::size_t width = static_cast<std::size_t>(picture.width);
  const int rings = 2 * threads + 2;
  const std::size_t stride = (width + 2) * 3;
  BlockOf<int> errors;
  const bool allocated = allocateTable(errors, static_cast<std::size_t>(rings) * stride, true);
  std::unique_ptr<RowProgress[]> progress(new (std::nothrow)
                                              RowProgress[static_cast<std::size_t>(rings)]);
  if (!allocated || !progress) return {ImportProblem::kOutOfMemory, 0};
  std::atomic<std::int32_t> nextRow{0};  // the first row no thread has taken
  const DitherRun run{picture, options, nearest, rings, stride, errors.get(), progress.get()};
  std::vector<MappingReport> parts(static_cast<std::size_t>(threads));
  runOnThreads(threads, [&](int part) {
    // Counted in a report of the thread's own: the parts lie side by side, and a count written
    // for every pixel into memory another thread writes too would cost both threads dearly.
    MappingReport counted;
    for (;;) {
      const std::int32_t y = nextRow.fetch_add(1);
      if (y >= picture.height) break;
      ditherRow(run, y, counted);
    }
    parts[static_cast<std::size_t>(part)] = counted;
  });
  for (const MappingReport& part : parts) addReport(part, report);
  if (!picture.indexed) {
    unsigned char* pixels = picture.pixels.get();
    for (std::int64_t y = 1; y < picture.height; ++y) {
      std::memmove(pixels + y * picture.width, pixels + 4 * y * picture.width, width);
    }
  }
  return {};
}

// The table of an indexed picture: each used entry's game index and the distance it moves.
// Returns whether every used entry keeps its own index.
bool tableOf(const DecodedPicture& picture, const ImportOptions& options, const Histogram& used,
             const NearestColours& nearest, unsigned char (&table)[256],
             std::uint32_t (&distances)[256]) {
  const Palette& palette = options.palette;
  const int excluded = options.transparentIndex;
  auto transparent = [&](int entry) { return excluded >= 0 && picture.palette[entry][3] == 0; };
  bool identity = true;
  for (int entry = 0; entry < 256 && identity; ++entry) {
    if (used.pixels[entry] == 0 || transparent(entry)) continue;
    const unsigned char* rgb = picture.palette[entry];
    identity = entry < palette.colourCount && entry != excluded &&
               rgb[0] == redOf(palette, entry) && rgb[1] == greenOf(palette, entry) &&
               rgb[2] == blueOf(palette, entry);
  }
  for (int entry = 0; entry < 256; ++entry) {
    distances[entry] = 0;
    if (transparent(entry)) {
      table[entry] = static_cast<unsigned char>(excluded);
      continue;
    }
    const unsigned char* rgb = picture.palette[entry];
    // Single colours, so no memo block is worked out for them.
    table[entry] = identity ? static_cast<unsigned char>(entry)
                            : searchSorted(nearest, rgb[0], rgb[1], rgb[2]);
    distances[entry] = distance2(rgb[0], rgb[1], rgb[2], redOf(palette, table[entry]),
                                 greenOf(palette, table[entry]), blueOf(palette, table[entry]));
  }
  return identity;
}

// An index the picture's own palette does not list has no colour to map: the first such pixel,
// top row first.
ImportOutcome indexPastPalette(const DecodedPicture& picture, const Histogram& used) {
  const int listed = std::max(0, picture.paletteCount);
  bool past = false;
  for (int entry = listed; entry < 256; ++entry) past = past || used.pixels[entry] != 0;
  if (!past) return {};
  const unsigned char* pixels = picture.pixels.get();
  std::int64_t i = 0;
  while (pixels[i] < listed) ++i;
  ImportOutcome outcome = pixelProblem(picture, ImportProblem::kIndexPastPalette, i);
  outcome.detail = pixels[i];
  outcome.colour = static_cast<std::uint32_t>(listed);
  return outcome;
}

// Fills what the tables need before the first colour is looked up: the lines of one answer, the
// regions' candidates, and every cell not worked out.
void fillTables(NearestColours& nearest, std::size_t cells) {
  for (int i = 0; i < 256; ++i) {
    std::memset(nearest.lines.get() + std::size_t{kCellColours} * i, i, kCellColours);
  }
  // The regions' candidates, from the whole palette: every block's are found among them.
  Candidates all, kept;
  allColours(nearest, all);
  unsigned char allPositions[256];
  for (int k = 0; k < 256; ++k) allPositions[k] = static_cast<unsigned char>(k);
  for (unsigned region = 0; region < 64; ++region) {
    nearest.regionCandidateCount[region] = static_cast<std::uint16_t>(
        narrowPositions(allPositions, all, regionBox(region), kept,
                        nearest.regionCandidates.get() + std::size_t{region} * 256));
  }
  for (std::size_t cell = 0; cell < cells; ++cell) {
    nearest.cells[cell].store(kCellNotWorkedOut, std::memory_order_relaxed);
  }
}

}  // namespace

bool prepareNearest(NearestColours& nearest, const Palette& palette, int excluded) {
  int order[256];
  int count = 0;
  for (int i = 0; i < palette.colourCount && i < 256; ++i) {
    if (i == excluded) continue;
    bool repeated = false;
    for (int k = 0; k < count && !repeated; ++k) {
      repeated = distance2(redOf(palette, i), greenOf(palette, i), blueOf(palette, i),
                           redOf(palette, order[k]), greenOf(palette, order[k]),
                           blueOf(palette, order[k])) == 0;
    }
    if (!repeated) order[count++] = i;
  }
  nearest.count = count;
  for (int k = 0; k < count; ++k) {
    nearest.red[k] = static_cast<unsigned char>(redOf(palette, order[k]));
    nearest.green[k] = static_cast<unsigned char>(greenOf(palette, order[k]));
    nearest.blue[k] = static_cast<unsigned char>(blueOf(palette, order[k]));
    nearest.index[k] = static_cast<unsigned char>(order[k]);
  }
  std::stable_sort(order, order + count,
                   [&](int a, int b) { return redOf(palette, a) < redOf(palette, b); });
  for (int k = 0; k < count; ++k) {
    nearest.redSorted[k] = static_cast<unsigned char>(redOf(palette, order[k]));
    nearest.greenSorted[k] = static_cast<unsigned char>(greenOf(palette, order[k]));
    nearest.blueSorted[k] = static_cast<unsigned char>(blueOf(palette, order[k]));
    nearest.indexSorted[k] = static_cast<unsigned char>(order[k]);
  }
  for (int i = 0; i < 256; ++i) {
    nearest.colourOf[i] = redOf(palette, i) | greenOf(palette, i) << 8 | blueOf(palette, i) << 16;
  }
  if (count == 0) return false;
  // The blocks' stages start all 0 (not worked out); the lines and candidates are left as the
  // allocator gives them, each written before it is read, so only the pages used are ever touched.
  constexpr std::size_t kCells = std::size_t{1} << 18;
  if (!allocateTable(nearest.cells, kCells) ||
      !allocateTable(nearest.lines, (kAnswerLines + kCells) * kCellColours) ||
      !allocateTable(nearest.blockStage, kBlocks, true) ||
      !allocateTable(nearest.blockCandidateCount, kBlocks) ||
      !allocateTable(nearest.blockCandidates, kBlocks * 256) ||
      !allocateTable(nearest.regionCandidates, std::size_t{64} * 256)) {
    return false;
  }
  fillTables(nearest, kCells);
  return true;
}

unsigned char nearestIndex(NearestColours& nearest, unsigned red, unsigned green, unsigned blue) {
  return lookUp(nearest, red, green, blue);
}

unsigned char nearestByBruteForce(const Palette& palette, int excluded, unsigned red,
                                  unsigned green, unsigned blue) {
  std::uint32_t best = UINT32_MAX;
  int chosen = 0;
  for (int i = 0; i < palette.colourCount; ++i) {
    if (i == excluded) continue;
    const std::uint32_t d =
        distance2(red, green, blue, redOf(palette, i), greenOf(palette, i), blueOf(palette, i));
    if (d < best) {
      best = d;
      chosen = i;
    }
  }
  return static_cast<unsigned char>(chosen);
}

ImportOutcome mapPicture(DecodedPicture& picture, const ImportOptions& options,
                         MappingReport& report, int threads) {
  report = MappingReport{};
  report.pixels = pixelCountOf(picture);
  NearestColours nearest;
  if (!prepareNearest(nearest, options.palette, options.transparentIndex)) {
    return {ImportProblem::kOutOfMemory, 0};
  }
  // The dither and the plain mapping share their work among threads, taken for the time they run.
  const auto onThreads = [&](auto map) {
    int taken = 0;
    const ImportOutcome outcome =
        map(picture, options, nearest, threadsFor(picture, threads, options.threadBudget, taken),
            report);
    if (taken > 0) giveThreads(*options.threadBudget, taken);
    return outcome;
  };
  if (picture.indexed) {
    Histogram used;
    const unsigned char* pixels = picture.pixels.get();
    for (std::int64_t i = 0; i < report.pixels; ++i) ++used.pixels[pixels[i]];
    const ImportOutcome past = indexPastPalette(picture, used);
    if (!past.ok()) return past;
    unsigned char table[256];
    std::uint32_t distances[256];
    const bool identity = tableOf(picture, options, used, nearest, table, distances);
    report.mapped = !identity;
    if (!identity && options.dither && !options.exactColours) return onThreads(dither);
    const ImportOutcome outcome = mapThroughTable(picture, options, table, distances, used, report);
    if (report.transparentPixels > 0) report.mapped = true;
    return outcome;
  }
  report.mapped = true;
  const ImportOutcome outcome =
      options.dither && !options.exactColours ? onThreads(dither) : onThreads(mapEachPixel);
  picture.indexed = true;
  return outcome;
}
