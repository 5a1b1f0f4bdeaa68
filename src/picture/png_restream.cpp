#include "png_restream.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "png_inflate.h"
#include "png_row_walk.h"

struct PngRestream {
  std::FILE* file = nullptr;
  RowWalk walk;
  std::int64_t rowBytesLeft = 0;  // of the rows, to be handed on
  bool streamStarted = false;     // the zlib header handed on
  InflaterState* inflater = nullptr;
  InflateVerdict verdict = InflateVerdict::kGoingOn;
  bool fault = false;
  bool ended = false;  // the end chunk read
  // The chunk being read: its data bytes still to come, then its checksum.
  std::uint32_t chunkLeft = 0;
  bool checksumLeft = false;
  bool chunkIsData = false;
  bool chunkIsEnd = false;
  bool dataSeen = false;
  bool checksums = false;       // worked out, not zeros
  std::uint32_t rowsAdler = 1;  // the Adler-32 of the rows handed on so far
  // The stored chunk being made: the rows it still takes (0: none open), whether it is the last,
  // and the CRC-32 of what it holds so far.
  std::int64_t blockLeft = 0;
  bool lastBlock = false;
  std::uint32_t chunkCrc = 0;
  // Made and not yet handed on: from `handedOn` to the end.
  std::vector<unsigned char> made;
  std::size_t handedOn = 0;
  unsigned char piece[1 << 16];
};

namespace {

// The image data is given to the inflater in small pieces: what one piece inflates to waits in
// `made`, and deflate's 1032 to 1 keeps that under 5 MB.
constexpr std::size_t kDataPiece = 4096;
// The largest stored block deflate has.
constexpr std::int64_t kStoredBlock = 65535;

void put32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((value >> shift) & 0xFF);
}

// Adds bytes to the stored chunk being made, and to its checksum.
void putInChunk(PngRestream& r, const unsigned char* bytes, std::size_t length) {
  r.made.insert(r.made.end(), bytes, bytes + length);
  if (r.checksums) {
    r.chunkCrc = static_cast<std::uint32_t>(crc32(r.chunkCrc, bytes, static_cast<uInt>(length)));
  }
}

// Image data chunks of one stored block of the rows each (the zlib header before the first, the
// stream's checksum after the last), every block but the last a full one whatever pieces the
// inflater hands the rows on in: so the chunks are as few as the bound counts. A chunk's head goes
// out when its block starts (its size is known from the rows still to come), its checksum when
// the block is full. Without worked-out checksums both checksums are zeros, which the decoder is
// told not to verify: the walk verified the file's chunks and the stream the file holds has had
// its own verified here.
void openStoredChunk(PngRestream& r) {
  const bool first = !r.streamStarted;
  r.blockLeft = std::min(kStoredBlock, r.rowBytesLeft);
  r.lastBlock = r.blockLeft == r.rowBytesLeft;
  const auto size = static_cast<unsigned>(r.blockLeft);
  put32(r.made, static_cast<std::uint32_t>((first ? 2 : 0) + 5 + size + (r.lastBlock ? 4 : 0)));
  r.chunkCrc = 0;
  const unsigned char type[] = {'I', 'D', 'A', 'T'};
  putInChunk(r, type, sizeof type);
  const unsigned char zlibHeader[] = {0x78, 0x01};
  if (first) putInChunk(r, zlibHeader, sizeof zlibHeader);
  const unsigned char blockHead[] = {
      static_cast<unsigned char>(r.lastBlock ? 1 : 0), static_cast<unsigned char>(size),
      static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(~size),
      static_cast<unsigned char>(~size >> 8)};
  putInChunk(r, blockHead, sizeof blockHead);
  r.streamStarted = true;
}

void closeStoredChunk(PngRestream& r) {
  if (r.lastBlock) {
    const std::uint32_t adler = r.checksums ? r.rowsAdler : 0;
    const unsigned char bytes[] = {
        static_cast<unsigned char>(adler >> 24), static_cast<unsigned char>(adler >> 16),
        static_cast<unsigned char>(adler >> 8), static_cast<unsigned char>(adler)};
    putInChunk(r, bytes, sizeof bytes);
  }
  put32(r.made, r.checksums ? r.chunkCrc : 0);
}

// Rows into the open chunk, no more than its block still takes.
void putRows(PngRestream& r, const unsigned char* bytes, std::size_t length) {
  putInChunk(r, bytes, length);
  if (r.checksums) {
    r.rowsAdler =
        static_cast<std::uint32_t>(adler32(r.rowsAdler, bytes, static_cast<uInt>(length)));
  }
  r.blockLeft -= static_cast<std::int64_t>(length);
  r.rowBytesLeft -= static_cast<std::int64_t>(length);
  if (r.blockLeft == 0) closeStoredChunk(r);
}

// Takes what the inflater gives: rows are checked, then handed on; bytes after the last row are
// let go, as checkPng lets them go.
bool takeRows(void* taker, const unsigned char* bytes, std::size_t length) {
  PngRestream& r = *static_cast<PngRestream*>(taker);
  if (!walkRows(r.walk, bytes, length).ok()) {
    r.fault = true;
    return false;
  }
  while (length > 0 && r.rowBytesLeft > 0) {
    if (r.blockLeft == 0) openStoredChunk(r);
    const std::size_t part =
        static_cast<std::size_t>(std::min(static_cast<std::int64_t>(length), r.blockLeft));
    putRows(r, bytes, part);
    bytes += part;
    length -= part;
  }
  return true;
}

void inflatePiece(PngRestream& r, const unsigned char* bytes, std::size_t length) {
  if (r.verdict == InflateVerdict::kEnded) return;  // data after the stream's end is let be
  if (r.inflater == nullptr) r.inflater = kZlibInflater.start();
  if (r.inflater == nullptr) {
    r.fault = true;
    return;
  }
  r.verdict = kZlibInflater.inflateMore(*r.inflater, bytes, length, takeRows, &r);
  if (r.verdict == InflateVerdict::kBadData || r.verdict == InflateVerdict::kOutOfMemory) {
    r.fault = true;
  }
}

bool readExactly(PngRestream& r, unsigned char* into, std::size_t length) {
  if (std::fread(into, 1, length, r.file) == length) return true;
  r.fault = true;
  return false;
}

// The next chunk's head: every chunk but image data is handed on as it is.
void readChunkHead(PngRestream& r) {
  unsigned char head[8];
  if (!readExactly(r, head, sizeof head)) return;
  r.chunkLeft = std::uint32_t{head[0]} << 24 | std::uint32_t{head[1]} << 16 |
                std::uint32_t{head[2]} << 8 | head[3];
  r.chunkIsData = std::memcmp(head + 4, "IDAT", 4) == 0;
  r.chunkIsEnd = std::memcmp(head + 4, "IEND", 4) == 0;
  r.checksumLeft = true;
  // The image data ended: the rows must all have come, and the decoder sees no chunk after
  // them before it has them all.
  if (!r.chunkIsData && r.dataSeen && r.rowBytesLeft > 0) r.fault = true;
  r.dataSeen = r.dataSeen || r.chunkIsData;
  if (!r.chunkIsData) r.made.insert(r.made.end(), head, head + sizeof head);
}

// Reads on in the file and makes more to hand on (perhaps nothing); false at the end or a fault.
bool readOn(PngRestream& r) {
  if (r.fault || r.ended) return false;
  if (r.chunkLeft > 0) {
    const std::size_t wanted =
        std::min<std::size_t>(r.chunkLeft, r.chunkIsData ? kDataPiece : sizeof r.piece);
    if (!readExactly(r, r.piece, wanted)) return false;
    r.chunkLeft -= static_cast<std::uint32_t>(wanted);
    if (r.chunkIsData) {
      inflatePiece(r, r.piece, wanted);
    } else {
      r.made.insert(r.made.end(), r.piece, r.piece + wanted);
    }
  } else if (r.checksumLeft) {
    unsigned char checksum[4];
    if (!readExactly(r, checksum, sizeof checksum)) return false;
    r.checksumLeft = false;
    if (!r.chunkIsData) r.made.insert(r.made.end(), checksum, checksum + sizeof checksum);
    r.ended = r.chunkIsEnd;
  } else {
    readChunkHead(r);
  }
  return !r.fault;
}

}  // namespace

PngRestream* openPngRestream(std::FILE* file, const PngFacts& facts, RestreamChecksums checksums) {
  PngRestream* r = new (std::nothrow) PngRestream;
  if (r == nullptr) return nullptr;
  r->file = file;
  r->checksums = checksums == RestreamChecksums::kWorkedOut;
  startRowWalk(r->walk, facts);
  r->rowBytesLeft = pngRawSize(facts);
  std::rewind(file);
  unsigned char signature[8];
  if (readExactly(*r, signature, sizeof signature)) {
    r->made.insert(r->made.end(), signature, signature + sizeof signature);
  }
  return r;
}

std::int64_t pngRestreamBound(std::int64_t fileBytes, const PngFacts& facts) {
  // Length, type, the zlib header, the block's head, the stream's checksum and the chunk's.
  constexpr std::int64_t kStoredChunkOwnBytes = 4 + 4 + 2 + 5 + 4 + 4;
  const std::int64_t rows = pngRawSize(facts);
  return fileBytes + rows + (rows / kStoredBlock + 1) * kStoredChunkOwnBytes;
}

void closePngRestream(PngRestream* restream) {
  if (restream == nullptr) return;
  kZlibInflater.end(restream->inflater);
  delete restream;
}

std::size_t readPngRestream(PngRestream& r, unsigned char* into, std::size_t length) {
  std::size_t given = 0;
  while (given < length) {
    if (r.handedOn == r.made.size()) {
      r.made.clear();
      r.handedOn = 0;
      if (!readOn(r)) break;
      continue;
    }
    const std::size_t taken = std::min(length - given, r.made.size() - r.handedOn);
    std::memcpy(into + given, r.made.data() + r.handedOn, taken);
    r.handedOn += taken;
    given += taken;
  }
  return given;
}

bool pngRestreamSound(PngRestream& r) {
  while (readOn(r)) {
    r.made.clear();
    r.handedOn = 0;
  }
  return !r.fault && r.ended && r.verdict == InflateVerdict::kEnded && r.walk.complete;
}
