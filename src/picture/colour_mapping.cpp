#include "colour_mapping.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr int kMemoBlocks = 4096;
constexpr int kBlockSide = 16;
// Below this many pixels a picture is mapped on one thread: starting threads costs more.
constexpr std::int64_t kPixelsWorthThreads = std::int64_t{1} << 16;
constexpr int kMostThreads = 8;

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
  const int d = value < low ? low - value : value >= low + side ? value - (low + side - 1) : 0;
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

unsigned memoAt(unsigned red, unsigned green, unsigned blue) {
  return (red & 15) << 8 | (green & 15) << 4 | (blue & 15);
}

// What solving a block finds out besides its answers (see NearestColours::BlockFacts).
struct BlockSummary {
  std::uint32_t largestDistance2 = 0;
  bool holdsChoosable = false;
};

constexpr int kLeafSide = 4;  // fillBox copies rows of 16, 8 or 4

std::uint32_t squared(int value) { return static_cast<std::uint32_t>(value * value); }

// Each colour of a box of kLeafSide against the few candidates left, one candidate at a time
// over the whole box (the distance is a sum of one square per channel, so a row of blues is one
// sum and a few additions). Candidates come in index order and only a strictly nearer one takes
// a colour over: the lowest index among the nearest keeps it.
void searchLeaf(const Candidates& candidates, const Box& box, unsigned char* chosen,
                BlockSummary& summary) {
  constexpr int kCells = kLeafSide * kLeafSide * kLeafSide;
  std::uint32_t best[kCells];
  std::uint32_t pick[kCells] = {};
  std::fill(best, best + kCells, UINT32_MAX);
  for (int k = 0; k < candidates.count; ++k) {
    std::uint32_t reds[kLeafSide], greens[kLeafSide], blues[kLeafSide];
    for (int i = 0; i < kLeafSide; ++i) {
      reds[i] = squared(box.red + i - candidates.red[k]);
      greens[i] = squared(box.green + i - candidates.green[k]);
      blues[i] = squared(box.blue + i - candidates.blue[k]);
    }
    const std::uint32_t index = candidates.index[k];
    for (int r = 0; r < kLeafSide; ++r) {
      for (int g = 0; g < kLeafSide; ++g) {
        const std::uint32_t base = reds[r] + greens[g];
        std::uint32_t* rowBest = best + (r * kLeafSide + g) * kLeafSide;
        std::uint32_t* rowPick = pick + (r * kLeafSide + g) * kLeafSide;
        for (int b = 0; b < kLeafSide; ++b) {
          const std::uint32_t d = base + blues[b];
          const bool nearer = d < rowBest[b];
          rowBest[b] = nearer ? d : rowBest[b];
          rowPick[b] = nearer ? index : rowPick[b];
        }
      }
    }
  }
  for (const std::uint32_t d : best) {
    summary.largestDistance2 = std::max(summary.largestDistance2, d);
    summary.holdsChoosable = summary.holdsChoosable || d == 0;
  }
  for (int r = 0; r < kLeafSide; ++r) {
    for (int g = 0; g < kLeafSide; ++g) {
      unsigned char* out = chosen + memoAt(box.red + r, box.green + g, box.blue);
      for (int b = 0; b < kLeafSide; ++b) {
        out[b] = static_cast<unsigned char>(pick[(r * kLeafSide + g) * kLeafSide + b]);
      }
    }
  }
}

// A box all of whose colours have one answer, the first candidate.
void fillBox(const Candidates& candidates, const Box& box, unsigned char* chosen,
             BlockSummary& summary) {
  const int red = candidates.red[0];
  const int green = candidates.green[0];
  const int blue = candidates.blue[0];
  // The farthest colour of a box is one of its corners.
  summary.largestDistance2 =
      std::max(summary.largestDistance2, farthestOnAxis(red, box.red, box.side) +
                                             farthestOnAxis(green, box.green, box.side) +
                                             farthestOnAxis(blue, box.blue, box.side));
  summary.holdsChoosable =
      summary.holdsChoosable || nearestOnAxis(red, box.red, box.side) +
                                        nearestOnAxis(green, box.green, box.side) +
                                        nearestOnAxis(blue, box.blue, box.side) ==
                                    0;
  // Rows of blues copied at sizes known here, so no row is a call of its own.
  unsigned char pattern[kBlockSide];
  std::memset(pattern, candidates.index[0], sizeof pattern);
  for (int r = box.red; r < box.red + box.side; ++r) {
    for (int g = box.green; g < box.green + box.side; ++g) {
      unsigned char* row = chosen + memoAt(r, g, box.blue);
      if (box.side == 16) {
        std::memcpy(row, pattern, 16);
      } else if (box.side == 8) {
        std::memcpy(row, pattern, 8);
      } else {
        std::memcpy(row, pattern, 4);
      }
    }
  }
}

// A box's answers: its candidates narrowed, then one colour fills it, or its eight halves are
// worked out the same way, down to boxes of kLeafSide.
void solveBox(const Candidates& from, const Box& box, unsigned char* chosen,
              BlockSummary& summary) {
  Candidates candidates;
  narrow(from, box, candidates);
  if (candidates.count == 1) return fillBox(candidates, box, chosen, summary);
  if (box.side <= kLeafSide) return searchLeaf(candidates, box, chosen, summary);
  const int half = box.side / 2;
  for (int part = 0; part < 8; ++part) {
    const Box quarter{box.red + (part >> 2) * half, box.green + (part >> 1 & 1) * half,
                      box.blue + (part & 1) * half, half};
    solveBox(candidates, quarter, chosen, summary);
  }
}

void solveMemoBlock(const NearestColours& nearest, unsigned block, unsigned char* chosen,
                    BlockSummary& summary) {
  Candidates all;
  all.count = nearest.count;
  std::copy(nearest.red, nearest.red + nearest.count, all.red);
  std::copy(nearest.green, nearest.green + nearest.count, all.green);
  std::copy(nearest.blue, nearest.blue + nearest.count, all.blue);
  std::copy(nearest.index, nearest.index + nearest.count, all.index);
  const Box box{static_cast<int>(block >> 8) * kBlockSide,
                static_cast<int>(block >> 4 & 15) * kBlockSide,
                static_cast<int>(block & 15) * kBlockSide, kBlockSide};
  solveBox(all, box, chosen, summary);
}

enum BlockStage : unsigned char { kNotWorkedOut, kUnderWay, kKnown };

// The slow part of knowBlock, out of the pixels' way: stage as last read.
bool workOutBlock(const NearestColours& nearest, unsigned block, unsigned char stage) {
  NearestColours::BlockFacts& facts = nearest.facts[block];
  if (stage != kNotWorkedOut || !facts.stage.compare_exchange_strong(stage, kUnderWay)) {
    return stage == kKnown;  // a failed exchange has read the stage again
  }
  BlockSummary summary;
  solveMemoBlock(nearest, block, nearest.memo.get() + (std::size_t{block} << 12), summary);
  facts.distanceToCheck = summary.holdsChoosable ? UINT32_MAX : summary.largestDistance2;
  facts.stage.store(kKnown, std::memory_order_release);
  return true;
}

// Makes sure a block's answers are known, working them out on first use. True when they are;
// false while another thread is working them out (the caller then searches its one colour
// itself rather than wait) or without a memo.
bool knowBlock(const NearestColours& nearest, unsigned block) {
  if (!nearest.memo) return false;
  NearestColours::BlockFacts& facts = nearest.facts[block];
  unsigned char stage = facts.stage.load(std::memory_order_acquire);
  return stage == kKnown || workOutBlock(nearest, block, stage);
}

unsigned char lookUp(const NearestColours& nearest, unsigned red, unsigned green, unsigned blue) {
  const unsigned at = memoIndexOf(red, green, blue);
  if (!knowBlock(nearest, at >> 12)) return searchSorted(nearest, red, green, blue);
  return nearest.memo.get()[at];
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

int threadsFor(const DecodedPicture& picture, int asked) {
  if (asked > 0) return std::min(asked, std::max(picture.height, 1));
  if (pixelCountOf(picture) < kPixelsWorthThreads) return 1;
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(1, std::min({cores, kMostThreads, std::max(picture.height, 1)}));
}

// Runs work(0) .. work(count - 1), each but the last on a thread of its own. A thread that cannot
// be started leaves its share to this one, after the others (work must not wait for a share).
template <typename Work>
void runOnThreads(int count, const Work& work) {
  std::vector<std::thread> started;
  std::vector<int> left;
  for (int part = 0; part + 1 < count; ++part) {
    try {
      started.emplace_back(work, part);
    } catch (const std::exception&) {
      left.push_back(part);
    }
  }
  work(count - 1);
  for (std::thread& thread : started) thread.join();
  for (int part : left) work(part);
}

// What one thread of the plain mapping found: its share of the report, and the first pixel of
// its rows whose colour the palette lacks when exact colours are asked for (-1: none).
struct RowsDone {
  MappingReport report;
  std::int64_t refusedAt = -1;
  std::uint32_t refusedColour = 0;
};

// Nearest colours pixel by pixel (true colour) for the pixels first .. end - 1, pixel i's index
// written at out[i - first]. A pixel's own
// distance is worked out only where its memo block does not settle what the report needs. The
// counts are kept in locals: every byte written to `out` could otherwise alias them.
void mapPixels(const DecodedPicture& picture, const ImportOptions& options,
               const NearestColours& nearest, std::int64_t first, std::int64_t end,
               unsigned char* out, RowsDone& done) {
  const Palette& palette = options.palette;
  const unsigned char* pixels = picture.pixels.get();
  const int transparentIndex = options.transparentIndex;
  const bool exactColours = options.exactColours;
  MappingReport& report = done.report;
  const unsigned char* memo = nearest.memo.get();
  NearestColours::BlockFacts* facts = memo != nullptr ? nearest.facts.get() : nullptr;
  std::int64_t changed = 0;
  std::uint32_t largest = 0;
  std::int64_t i = first;
  for (; i < end; ++i) {
    const unsigned char* rgba = pixels + 4 * i;
    const unsigned red = rgba[0];
    const unsigned green = rgba[1];
    const unsigned blue = rgba[2];
    const unsigned alpha = rgba[3];
    if (alpha != 255) {
      countAlpha(alpha, transparentIndex, report);
      if (alpha == 0 && transparentIndex >= 0) {
        out[i - first] = static_cast<unsigned char>(transparentIndex);
        continue;
      }
    }
    const unsigned at = memoIndexOf(red, green, blue);
    unsigned char chosen;
    NearestColours::BlockFacts* block = facts != nullptr ? facts + (at >> 12) : nullptr;
    if (block != nullptr && (block->stage.load(std::memory_order_acquire) == kKnown ||
                             workOutBlock(nearest, at >> 12, block->stage.load()))) {
      chosen = memo[at];
      if (block->distanceToCheck <= largest) {
        if (exactColours) break;
        ++changed;  // no colour of the block is choosable: this one moves
        out[i - first] = chosen;
        continue;
      }
    } else {
      chosen = searchSorted(nearest, red, green, blue);
    }
    const std::uint32_t d = distance2(red, green, blue, redOf(palette, chosen),
                                      greenOf(palette, chosen), blueOf(palette, chosen));
    if (d != 0) {
      if (exactColours) break;
      ++changed;
      largest = std::max(largest, d);
    }
    out[i - first] = chosen;
  }
  if (i < end) {
    done.refusedAt = i;
    done.refusedColour = packed(pixels + 4 * i);
  }
  report.changedPixels += changed;
  report.largestDistance2 = std::max(report.largestDistance2, largest);
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
struct DitherRun {
  const DecodedPicture& picture;
  const ImportOptions& options;
  const NearestColours& nearest;
  int rings;                // rows of errors and of progress, used round and round
  std::size_t errorStride;  // (width + 2) x 3 sixteenths a row
  int* errors;
  // For each row under way, at row % rings, how far it is: row x (width + 2) + pixels done,
  // width + 1 once the row is done and its errors are cleared for reuse. Only ever grows.
  std::atomic<std::int64_t>* progress;
};

constexpr int kPublishEvery = 64;  // pixels between two reports of progress

std::int64_t progressMark(const DitherRun& run, std::int64_t row, std::int64_t pixels) {
  return row * (run.picture.width + 2) + pixels;
}

void waitFor(const DitherRun& run, std::int64_t row, std::int64_t pixels) {
  if (row < 0) return;
  const std::atomic<std::int64_t>& other = run.progress[row % run.rings];
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
  std::atomic<std::int64_t>& mine = run.progress[y % run.rings];
  int* current = run.errors + static_cast<std::size_t>(y % run.rings) * run.errorStride;
  int* next = run.errors + static_cast<std::size_t>((y + 1) % run.rings) * run.errorStride;
  const PixelSource source{picture, transparentIndex};
  // A row's indices go from the start of the row's own colours: over colours it has read, and
  // that no other row reads.
  unsigned char* out = picture.pixels.get() + (picture.indexed ? 1 : 4) * std::int64_t{y} * width;
  std::int64_t aboveSeen = -1;  // pixels of the row above known to be done
  for (std::int64_t x = 0; x < width; ++x) {
    const std::int64_t needed = std::min(x + 3, width);
    if (y > 0 && aboveSeen < needed) {
      waitFor(run, y - 1, needed);
      aboveSeen =
          std::min(width, run.progress[(y - 1) % run.rings].load(std::memory_order_acquire) -
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
  std::unique_ptr<int[]> errors(new (std::nothrow) int[static_cast<std::size_t>(rings) * stride]());
  std::unique_ptr<std::atomic<std::int64_t>[]> progress(
      new (std::nothrow) std::atomic<std::int64_t>[static_cast<std::size_t>(rings)]);
  if (!errors || !progress) return {ImportProblem::kOutOfMemory, 0};
  for (int ring = 0; ring < rings; ++ring) progress[ring].store(-1);
  std::atomic<std::int32_t> nextRow{0};  // the first row no thread has taken
  const DitherRun run{picture, options, nearest, rings, stride, errors.get(), progress.get()};
  std::vector<MappingReport> parts(static_cast<std::size_t>(threads));
  runOnThreads(threads, [&](int part) {
    for (;;) {
      const std::int32_t y = nextRow.fetch_add(1);
      if (y >= picture.height) break;
      ditherRow(run, y, parts[static_cast<std::size_t>(part)]);
    }
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

}  // namespace

void NearestColours::MemoRelease::operator()(unsigned char* memo) const { std::free(memo); }

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
  // Left as malloc gives it: a block's answers are all written before any is read.
  nearest.memo.reset(static_cast<unsigned char*>(std::malloc(std::size_t{kMemoBlocks} << 12)));
  nearest.facts.reset(new (std::nothrow) NearestColours::BlockFacts[kMemoBlocks]);
  if (!nearest.facts) nearest.memo.reset();
  for (int block = 0; nearest.facts && block < kMemoBlocks; ++block) {
    nearest.facts[block].stage.store(kNotWorkedOut, std::memory_order_relaxed);
  }
  return count > 0;
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
  prepareNearest(nearest, options.palette, options.transparentIndex);
  threads = threadsFor(picture, threads);
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
    if (!identity && options.dither && !options.exactColours) {
      return dither(picture, options, nearest, threads, report);
    }
    const ImportOutcome outcome = mapThroughTable(picture, options, table, distances, used, report);
    if (report.transparentPixels > 0) report.mapped = true;
    return outcome;
  }
  report.mapped = true;
  ImportOutcome outcome = options.dither && !options.exactColours
                              ? dither(picture, options, nearest, threads, report)
                              : mapEachPixel(picture, options, nearest, threads, report);
  picture.indexed = true;
  return outcome;
}
