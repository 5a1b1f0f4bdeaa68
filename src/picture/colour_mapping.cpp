#include "colour_mapping.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

constexpr int kMemoBlocks = 4096;

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
  const unsigned char* reds = nearest.red;
  int up = static_cast<int>(std::lower_bound(reds, reds + nearest.count, red) - reds);
  int down = up - 1;
  std::uint32_t best = UINT32_MAX;
  int bestIndex = 256;
  auto consider = [&](int at) {
    const std::uint32_t d =
        distance2(red, green, blue, nearest.red[at], nearest.green[at], nearest.blue[at]);
    if (d < best || (d == best && nearest.index[at] < bestIndex)) {
      best = d;
      bestIndex = nearest.index[at];
    }
  };
  for (;;) {
    bool moved = false;
    if (up < nearest.count) {
      const std::uint32_t dr = nearest.red[up] - red;
      if (dr * dr <= best) {
        consider(up++);
        moved = true;
      } else {
        up = nearest.count;
      }
    }
    if (down >= 0) {
      const std::uint32_t dr = red - nearest.red[down];
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

ImportOutcome notInPalette(const DecodedPicture& picture, std::int64_t i, std::uint32_t colour) {
  ImportOutcome outcome{ImportProblem::kColourNotInPalette, 0};
  outcome.x = static_cast<std::int32_t>(i % std::max(picture.width, 1));
  outcome.y = static_cast<std::int32_t>(i / std::max(picture.width, 1));
  outcome.colour = colour;
  return outcome;
}

// Nearest colours pixel by pixel (true colour), each pixel's index written over the first
// bytes of the block.
ImportOutcome mapEachPixel(DecodedPicture& picture, const ImportOptions& options,
                           NearestColours& nearest, MappingReport& report) {
  const Palette& palette = options.palette;
  unsigned char* pixels = picture.pixels.get();
  const std::int64_t count = pixelCountOf(picture);
  for (std::int64_t i = 0; i < count; ++i) {
    const unsigned char* rgba = pixels + 4 * i;
    countAlpha(rgba[3], options.transparentIndex, report);
    if (rgba[3] == 0 && options.transparentIndex >= 0) {
      pixels[i] = static_cast<unsigned char>(options.transparentIndex);
      continue;
    }
    const unsigned char chosen = nearestIndex(nearest, rgba[0], rgba[1], rgba[2]);
    const std::uint32_t d = distance2(rgba[0], rgba[1], rgba[2], redOf(palette, chosen),
                                      greenOf(palette, chosen), blueOf(palette, chosen));
    if (d != 0 && options.exactColours) return notInPalette(picture, i, packed(rgba));
    noteChange(d, report);
    pixels[i] = chosen;
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
// kept in sixteenths, two rows of them.
ImportOutcome dither(DecodedPicture& picture, const ImportOptions& options, NearestColours& nearest,
                     MappingReport& report) {
  const Palette& palette = options.palette;
  const std::size_t width = static_cast<std::size_t>(picture.width);
  std::unique_ptr<int[]> errors(new (std::nothrow) int[2 * (width + 2) * 3]());
  if (!errors) return {ImportProblem::kOutOfMemory, 0};
  int* current = errors.get();
  int* next = errors.get() + (width + 2) * 3;
  const PixelSource source{picture, options.transparentIndex};
  unsigned char* pixels = picture.pixels.get();
  for (std::int32_t y = 0; y < picture.height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::int64_t i = static_cast<std::int64_t>(y) * picture.width + x;
      const unsigned char* rgba = source.colourAt(i);
      const unsigned char original[4] = {rgba[0], rgba[1], rgba[2], rgba[3]};
      countAlpha(original[3], options.transparentIndex, report);
      if (original[3] == 0 && options.transparentIndex >= 0) {
        pixels[i] = static_cast<unsigned char>(options.transparentIndex);
        continue;
      }
      int* here = current + (x + 1) * 3;
      int wanted[3];
      for (int c = 0; c < 3; ++c) wanted[c] = clampChannel(original[c] + here[c] / 16);
      const unsigned char chosen = nearestIndex(nearest, wanted[0], wanted[1], wanted[2]);
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
      pixels[i] = chosen;
    }
    std::swap(current, next);
    std::fill(next, next + (width + 2) * 3, 0);
  }
  return {};
}

// The table of an indexed picture: each used entry's game index and the distance it moves.
// Returns whether every used entry keeps its own index.
bool tableOf(const DecodedPicture& picture, const ImportOptions& options, const Histogram& used,
             NearestColours& nearest, unsigned char (&table)[256],
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
    table[entry] = identity ? static_cast<unsigned char>(entry)
                            : nearestIndex(nearest, rgb[0], rgb[1], rgb[2]);
    distances[entry] = distance2(rgb[0], rgb[1], rgb[2], redOf(palette, table[entry]),
                                 greenOf(palette, table[entry]), blueOf(palette, table[entry]));
  }
  return identity;
}

}  // namespace

void NearestColours::MemoRelease::operator()(MemoBlock* block) const { std::free(block); }

bool prepareNearest(NearestColours& nearest, const Palette& palette, int excluded) {
  int order[256];
  int count = 0;
  for (int i = 0; i < palette.colourCount && i < 256; ++i) {
    if (i != excluded) order[count++] = i;
  }
  std::stable_sort(order, order + count,
                   [&](int a, int b) { return redOf(palette, a) < redOf(palette, b); });
  nearest.count = count;
  for (int k = 0; k < count; ++k) {
    nearest.red[k] = static_cast<unsigned char>(redOf(palette, order[k]));
    nearest.green[k] = static_cast<unsigned char>(greenOf(palette, order[k]));
    nearest.blue[k] = static_cast<unsigned char>(blueOf(palette, order[k]));
    nearest.index[k] = static_cast<unsigned char>(order[k]);
  }
  nearest.memo.reset(new (std::nothrow) NearestColours::MemoPointer[kMemoBlocks]);
  return count > 0;
}

unsigned char nearestIndex(NearestColours& nearest, unsigned red, unsigned green, unsigned blue) {
  // Without its memo (no memory for it) the search is the same, only slower.
  if (!nearest.memo) return searchSorted(nearest, red, green, blue);
  const unsigned block = (red >> 4) << 8 | (green >> 4) << 4 | blue >> 4;
  const unsigned at = (red & 15) << 8 | (green & 15) << 4 | (blue & 15);
  NearestColours::MemoPointer& memo = nearest.memo[block];
  if (!memo) {
    memo.reset(
        static_cast<NearestColours::MemoBlock*>(std::calloc(1, sizeof(NearestColours::MemoBlock))));
    if (!memo) return searchSorted(nearest, red, green, blue);
  }
  const unsigned char bit = static_cast<unsigned char>(1u << (at & 7));
  if (memo->known[at >> 3] & bit) return memo->chosen[at];
  const unsigned char chosen = searchSorted(nearest, red, green, blue);
  memo->chosen[at] = chosen;
  memo->known[at >> 3] |= bit;
  return chosen;
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
                         MappingReport& report) {
  report = MappingReport{};
  report.pixels = pixelCountOf(picture);
  NearestColours nearest;
  prepareNearest(nearest, options.palette, options.transparentIndex);
  if (picture.indexed) {
    Histogram used;
    const unsigned char* pixels = picture.pixels.get();
    for (std::int64_t i = 0; i < report.pixels; ++i) ++used.pixels[pixels[i]];
    unsigned char table[256];
    std::uint32_t distances[256];
    const bool identity = tableOf(picture, options, used, nearest, table, distances);
    report.mapped = !identity;
    if (!identity && options.dither && !options.exactColours) {
      return dither(picture, options, nearest, report);
    }
    const ImportOutcome outcome = mapThroughTable(picture, options, table, distances, used, report);
    if (report.transparentPixels > 0) report.mapped = true;
    return outcome;
  }
  report.mapped = true;
  ImportOutcome outcome = options.dither && !options.exactColours
                              ? dither(picture, options, nearest, report)
                              : mapEachPixel(picture, options, nearest, report);
  picture.indexed = true;
  return outcome;
}
