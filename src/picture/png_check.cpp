#include "png_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "file_open.h"
#include "png_inflate.h"
#include "png_row_walk.h"
#include "png_side_chunks.h"

namespace {

const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kLargestLength = 0x7FFFFFFFu;
// Deflate shrinks at most about 1032 to 1; beyond this the file cannot hold what it claims.
constexpr std::int64_t kInflateRatio = 1100;
constexpr std::int64_t kClaimSlack = 1 << 20;
constexpr std::int64_t kLargestCount = std::numeric_limits<std::int32_t>::max();

ImportOutcome problem(ImportProblem kind, long long detail = 0) { return {kind, detail}; }

std::uint32_t bigEndian32(const unsigned char* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

int channelsOf(int colourType) {
  switch (colourType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

bool depthFitsType(int depth, int colourType) {
  switch (colourType) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

// The seven passes of Adam7 (a picture that is not interlaced has the first alone, over all).
struct Pass {
  int x0, y0, dx, dy;
};
const Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
const Pass kWhole = {0, 0, 1, 1};

std::int64_t passSpan(std::uint32_t size, int start, int step) {
  return size > static_cast<std::uint32_t>(start) ? (std::int64_t{size} - start + step - 1) / step
                                                  : 0;
}

const Pass& passAt(const RowWalk& walk, int pass) {
  return walk.facts.interlaced ? kAdam7[pass] : kWhole;
}

// Moves to the next pass that has pixels; complete when there is none.
void nextPass(RowWalk& walk) {
  const int bits = pngBitsPerPixel(walk.facts);
  while (++walk.pass < walk.passes) {
    const Pass& pass = passAt(walk, walk.pass);
    const std::int64_t width = passSpan(walk.facts.width, pass.x0, pass.dx);
    const std::int64_t height = passSpan(walk.facts.height, pass.y0, pass.dy);
    if (width == 0 || height == 0) continue;
    walk.rowsLeft = height;
    walk.rowBytes = (width * bits + 7) / 8;
    return;
  }
  walk.complete = true;
}

// What the walk keeps while it reads the chunks.
struct ImageData {
  explicit ImageData(const Inflater* chosen) : inflater(chosen) {}
  const Inflater* inflater;  // null: the image data is not inflated
  SideChunks side;
  InflaterState* state = nullptr;
  InflateVerdict verdict = InflateVerdict::kGoingOn;
  ImportOutcome rows;
  RowWalk walk;
  // The file is read in large pieces, which keep the inflater in its fast loop.
  unsigned char piece[1 << 18];
  ~ImageData() {
    if (inflater != nullptr) inflater->end(state);
  }
};

bool walkInflated(void* taker, const unsigned char* bytes, std::size_t length) {
  ImageData& data = *static_cast<ImageData*>(taker);
  data.rows = walkRows(data.walk, bytes, length);
  return data.rows.ok();
}

ImportOutcome inflateSome(ImageData& data, const unsigned char* bytes, std::size_t length) {
  if (data.inflater == nullptr || data.verdict == InflateVerdict::kEnded) return {};
  if (data.state == nullptr) data.state = data.inflater->start();
  if (data.state == nullptr) return problem(ImportProblem::kOutOfMemory);
  data.verdict = data.inflater->inflateMore(*data.state, bytes, length, walkInflated, &data);
  if (!data.rows.ok()) return data.rows;
  switch (data.verdict) {
    case InflateVerdict::kBadData:
      return problem(ImportProblem::kPngBadImageData);
    case InflateVerdict::kOutOfMemory:
      return problem(ImportProblem::kOutOfMemory);
    default:
      return {};
  }
}

ImportOutcome checkHeader(const unsigned char* data, std::uint32_t length, std::int64_t fileSize,
                          PngFacts& facts) {
  if (length != 13) return problem(ImportProblem::kPngBadStructure);
  facts.width = bigEndian32(data);
  facts.height = bigEndian32(data + 4);
  facts.bitDepth = data[8];
  facts.colourType = data[9];
  facts.interlaced = data[12] == 1;
  if (facts.width == 0 || facts.height == 0 || facts.width > kLargestLength ||
      facts.height > kLargestLength || !depthFitsType(facts.bitDepth, facts.colourType) ||
      data[10] != 0 || data[11] != 0 || data[12] > 1) {
    return problem(ImportProblem::kPngBadHeader);
  }
  const std::int64_t pixels = std::int64_t{facts.width} * facts.height;
  if (pixels > kLargestCount || outputCapacity(pixels) > kLargestCount) {
    return problem(ImportProblem::kTooLarge);
  }
  if (pngRawSize(facts) > kInflateRatio * fileSize + kClaimSlack) {
    return problem(ImportProblem::kTooLarge, kClaimBeyondFile);
  }
  return {};
}

// The rules of order and size for the chunks the decoders act on.
struct ChunkOrder {
  bool header = false;
  bool palette = false;
  bool transparency = false;
  bool dataSeen = false;
  bool dataEnded = false;  // another chunk came after the image data
};

ImportOutcome checkPalette(std::uint32_t length, ChunkOrder& order, PngFacts& facts) {
  const int entries = static_cast<int>(length / 3);
  const bool allowed = facts.colourType != 0 && facts.colourType != 4;
  const int most = pngIsIndexed(facts) ? 1 << facts.bitDepth : 256;
  if (order.palette || order.dataSeen || order.transparency || !allowed || length % 3 != 0 ||
      entries == 0 || entries > most) {
    return problem(ImportProblem::kPngBadStructure);
  }
  order.palette = true;
  facts.paletteEntries = entries;
  return {};
}

ImportOutcome checkTransparency(std::uint32_t length, ChunkOrder& order, const PngFacts& facts) {
  bool fits = false;
  switch (facts.colourType) {
    case 0:
      fits = length == 2;
      break;
    case 2:
      fits = length == 6;
      break;
    case 3:
      fits = order.palette && length <= static_cast<std::uint32_t>(facts.paletteEntries);
      break;
    default:
      fits = false;
  }
  if (order.transparency || order.dataSeen || !fits)
    return problem(ImportProblem::kPngBadStructure);
  order.transparency = true;
  return {};
}

// Before a chunk's data is read: may it stand here?
ImportOutcome checkPlace(const char* type, std::uint32_t length, ChunkOrder& order,
                         PngFacts& facts) {
  for (int i = 0; i < 4; ++i) {
    const char c = type[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      return problem(ImportProblem::kPngBadStructure);
    }
  }
  const bool isHeader = std::memcmp(type, "IHDR", 4) == 0;
  if (order.header == isHeader) return problem(ImportProblem::kPngBadStructure);
  if (isHeader) return {};
  const bool isData = std::memcmp(type, "IDAT", 4) == 0;
  if (order.dataSeen && !isData) order.dataEnded = true;
  if (isData) {
    if (order.dataEnded) return problem(ImportProblem::kPngBadStructure);
    if (pngIsIndexed(facts) && !order.palette) return problem(ImportProblem::kPngMissingPalette);
    order.dataSeen = true;
    return {};
  }
  if (std::memcmp(type, "PLTE", 4) == 0) return checkPalette(length, order, facts);
  if (std::memcmp(type, "tRNS", 4) == 0) return checkTransparency(length, order, facts);
  if (std::memcmp(type, "IEND", 4) == 0) {
    if (length != 0) return problem(ImportProblem::kPngBadStructure);
    if (!order.dataSeen) {
      return problem(pngIsIndexed(facts) && !order.palette ? ImportProblem::kPngMissingPalette
                                                           : ImportProblem::kPngShortImageData);
    }
    return {};
  }
  // An unknown chunk that a decoder must understand (its first letter is upper case).
  if (type[0] >= 'A' && type[0] <= 'Z') return problem(ImportProblem::kPngBadStructure);
  return {};
}

}  // namespace

void startRowWalk(RowWalk& walk, const PngFacts& facts) {
  walk = RowWalk{};
  walk.facts = facts;
  walk.passes = facts.interlaced ? 7 : 1;
  nextPass(walk);
}

std::int64_t pngRawSize(const PngFacts& facts) {
  RowWalk walk;
  std::int64_t total = 0;
  for (startRowWalk(walk, facts); !walk.complete; nextPass(walk)) {
    total += walk.rowsLeft * (1 + walk.rowBytes);
  }
  return total;
}

ImportOutcome walkRows(RowWalk& walk, const unsigned char* bytes, std::size_t length) {
  while (length > 0 && !walk.complete) {
    if (walk.bytesLeft == 0) {
      if (*bytes > 4) return problem(ImportProblem::kPngBadFilter, *bytes);
      ++bytes;
      --length;
      walk.bytesLeft = walk.rowBytes;
    }
    const std::size_t taken = static_cast<std::size_t>(
        std::min<std::int64_t>(walk.bytesLeft, static_cast<std::int64_t>(length)));
    bytes += taken;
    length -= taken;
    walk.bytesLeft -= static_cast<std::int64_t>(taken);
    if (walk.bytesLeft == 0 && --walk.rowsLeft == 0) nextPass(walk);
  }
  return {};
}

int pngBitsPerPixel(const PngFacts& facts) { return channelsOf(facts.colourType) * facts.bitDepth; }

bool hasPngSignature(const unsigned char* start, std::size_t length) {
  return length >= sizeof kSignature && std::memcmp(start, kSignature, sizeof kSignature) == 0;
}

namespace {

// The checks, the image data inflated with the inflater given or (null) not at all.
ImportOutcome walkChunks(std::FILE* file, PngFacts& facts, const Inflater* inflater) {
  const std::int64_t size = fileSize(file);
  std::rewind(file);
  unsigned char signature[8];
  if (std::fread(signature, 1, 8, file) != 8 || !hasPngSignature(signature, 8)) {
    return problem(ImportProblem::kNotAPicture);
  }
  std::unique_ptr<ImageData> data(new (std::nothrow) ImageData(inflater));
  if (!data) return problem(ImportProblem::kOutOfMemory);
  ChunkOrder order;
  std::int64_t at = 8;
  unsigned char* piece = data->piece;
  for (;;) {
    unsigned char head[8];
    if (std::fread(head, 1, 8, file) != 8) return problem(ImportProblem::kPngCut, at);
    const std::uint32_t length = bigEndian32(head);
    const char* type = reinterpret_cast<const char*>(head + 4);
    if (length > kLargestLength) return problem(ImportProblem::kPngBadStructure);
    ImportOutcome placed = checkPlace(type, length, order, facts);
    if (!placed.ok()) return placed;
    const bool isHeader = std::memcmp(type, "IHDR", 4) == 0;
    const bool isData = std::memcmp(type, "IDAT", 4) == 0;
    uLong crc = crc32(0L, head + 4, 4);
    startSideChunk(data->side, type);
    ImportOutcome dataProblem;
    unsigned char header[13] = {};
    for (std::uint32_t left = length; left > 0;) {
      const std::size_t wanted = std::min<std::size_t>(left, sizeof data->piece);
      if (std::fread(piece, 1, wanted, file) != wanted) return problem(ImportProblem::kPngCut, at);
      crc = crc32(crc, piece, static_cast<uInt>(wanted));
      if (isHeader && length == 13) std::memcpy(header, piece, 13);
      if (isData && dataProblem.ok()) dataProblem = inflateSome(*data, piece, wanted);
      measureSideChunk(data->side, piece, wanted);
      left -= static_cast<std::uint32_t>(wanted);
    }
    unsigned char stored[4];
    if (std::fread(stored, 1, 4, file) != 4) return problem(ImportProblem::kPngCut, at);
    if (bigEndian32(stored) != crc) return problem(ImportProblem::kPngBadCrc, at);
    if (!dataProblem.ok()) return dataProblem;
    if (isHeader) {
      const ImportOutcome checked = checkHeader(header, length, size, facts);
      if (!checked.ok()) return checked;
      order.header = true;
      startRowWalk(data->walk, facts);
    }
    if (std::memcmp(type, "IEND", 4) == 0) break;
    at += 12 + std::int64_t{length};
  }
  if (inflater != nullptr && (data->verdict != InflateVerdict::kEnded || !data->walk.complete)) {
    return problem(ImportProblem::kPngShortImageData);
  }
  // Last: before these bounds were measured here, only the decoder refused such a file, once
  // every check had passed it.
  if (sideChunksPastBounds(data->side)) return problem(ImportProblem::kPngSideChunkTooLarge);
  return {};
}

}  // namespace

ImportOutcome checkPngUsing(std::FILE* file, PngFacts& facts, const Inflater& inflater) {
  return walkChunks(file, facts, &inflater);
}

ImportOutcome checkPngChunks(std::FILE* file, PngFacts& facts) {
  return walkChunks(file, facts, nullptr);
}

ImportOutcome checkPng(std::FILE* file, PngFacts& facts) {
  const Inflater& fast = checkInflater();
  const ImportOutcome outcome = checkPngUsing(file, facts, fast);
  if (outcome.ok() || &fast == &kZlibInflater) return outcome;
  // Past a block that zlib refuses, the faster inflater may read on and meet another fault
  // first (a filter byte, a cut, a checksum further on): the refusal given is zlib's.
  return checkPngUsing(file, facts, kZlibInflater);
}

ImportOutcome confirmPngStream(std::FILE* file) {
  if (&checkInflater() == &kZlibInflater) return {};
  PngFacts facts;
  return checkPngUsing(file, facts, kZlibInflater);
}
