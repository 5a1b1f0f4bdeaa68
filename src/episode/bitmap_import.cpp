#include "bitmap_import.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "allocation.h"
#include "file_open.h"
#include "little_endian.h"

// Fields of a Windows bitmap file that the import reads, all little-endian:
//   0  2  file type, the letters B M          14  4  information header size
//  10  4  offset of the pixel data
// After a header of 16 bytes or more (40, 108, 124, or an OS/2 2.x header of 16 to 64 bytes, whose
// fields beyond its size count as 0):
//  18  4  width, signed                       28  1  bits per pixel, low byte (byte 29 is not
//  22  4  height, signed; negative = rows             looked at); must be 8
//         stored top row first                30  4  compression: 0 none, 1 RLE8
// After the 12-byte OS/2 core header: 18 2 width, 20 2 height (both unsigned), 24 1 bits per pixel.
// Rows are stored bottom row first unless the height is negative, each padded to 4 bytes.

namespace {

constexpr long kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kSmallestInfoHeader = 16;
constexpr std::uint32_t kFieldsRead = 40;  // the information header fields the import reads
constexpr std::uint32_t kNoCompression = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::int64_t kLargestCount = std::numeric_limits<std::int32_t>::max();

// An RLE8 file can describe far more pixels than it has bytes (a run, an end-of-line or a move
// covers many), yet a tiny file claiming a huge picture is an attack, not a picture. Encoders
// stay far below this (a flat 4096-pixel row takes some 36 bytes, about 114 pixels a byte), and
// it keeps the blocks a small multiple of what the file really backs.
constexpr std::int64_t kRleFreePixels = 1 << 16;
constexpr std::int64_t kRlePixelsPerByte = 256;

struct BlockReleaser {
  void operator()(unsigned char* block) const { releaseBlock(block); }
};
using Block = std::unique_ptr<unsigned char, BlockReleaser>;

struct BitmapLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // always the positive row count
  bool topRowFirst = false;
  bool rle8 = false;
  std::int64_t pixelOffset = 0;
  std::int64_t fileSize = 0;
  std::int64_t pixelCount = 0;
  std::int64_t capacity = 0;
};

bool readExactly(std::FILE* file, void* into, std::size_t size) {
  return std::fread(into, 1, size, file) == size;
}

ImportOutcome problem(ImportProblem kind, long long detail = 0) { return {kind, detail}; }

// The headers as the checks see them: the file header and the 40-byte information header's
// bytes, those that a shorter header lacks set to 0 (so a missing compression field reads as
// none). The core header keeps its own layout in the same bytes.
struct Headers {
  unsigned char bytes[kFileHeaderSize + kFieldsRead] = {};
  std::size_t available = 0;  // how many of them the file holds
  std::uint32_t infoSize = 0;
};

bool readHeaders(std::FILE* file, std::int64_t fileSize, Headers& headers) {
  std::int64_t wanted = std::min<std::int64_t>(fileSize, sizeof headers.bytes);
  headers.available = wanted < 0 ? 0 : static_cast<std::size_t>(wanted);
  std::rewind(file);
  return readExactly(file, headers.bytes, headers.available);
}

// Where the bit count lives depends on the header kind, so the size comes first. Returns the
// problem found, or kNone with the bit count checked.
ImportOutcome checkKindAndBits(Headers& headers) {
  const unsigned char* bytes = headers.bytes;
  if (headers.available < 2 || readLittleEndian(bytes, 2) != 0x4D42) {
    return problem(ImportProblem::kNotABitmap);
  }
  if (headers.available < kFileHeaderSize + 4) return problem(ImportProblem::kTooShort);
  headers.infoSize = readLittleEndian(bytes + 14, 4);
  const bool core = headers.infoSize == kCoreHeader;
  if (!core && headers.infoSize < kSmallestInfoHeader) {
    return problem(ImportProblem::kUnsupportedHeader, headers.infoSize);
  }
  const std::size_t bitCountAt = core ? 24 : 28;
  if (headers.available <= bitCountAt) return problem(ImportProblem::kTooShort);
  if (bytes[bitCountAt] != 8) return problem(ImportProblem::kNotEightBits, bytes[bitCountAt]);
  const std::size_t present = kFileHeaderSize + std::min(headers.infoSize, kFieldsRead);
  if (headers.available < present) return problem(ImportProblem::kTooShort);
  std::memset(headers.bytes + present, 0, sizeof headers.bytes - present);
  return {};
}

void readDimensions(const Headers& headers, BitmapLayout& layout, std::int64_t& storedHeight) {
  const unsigned char* bytes = headers.bytes;
  if (headers.infoSize == kCoreHeader) {
    layout.width = static_cast<std::int32_t>(readLittleEndian(bytes + 18, 2));
    storedHeight = readLittleEndian(bytes + 20, 2);
  } else {
    layout.width = readSigned32(bytes + 18);
    storedHeight = readSigned32(bytes + 22);
  }
}

// The header checks in order: the type, the header size that says where the bit count is, the
// bit count (together they decide whether this is an 8-bit bitmap at all), then everything the
// pixel read will rely on.
ImportOutcome readLayout(std::FILE* file, BitmapLayout& layout) {
  layout.fileSize = fileSize(file);
  Headers headers;
  if (!readHeaders(file, layout.fileSize, headers)) return problem(ImportProblem::kTooShort);
  const ImportOutcome kind = checkKindAndBits(headers);
  if (!kind.ok()) return kind;

  std::uint32_t compression = readLittleEndian(headers.bytes + 30, 4);
  std::int64_t storedHeight = 0;
  readDimensions(headers, layout, storedHeight);
  layout.pixelOffset = readLittleEndian(headers.bytes + 10, 4);
  layout.rle8 = compression == kRle8;
  layout.topRowFirst = storedHeight < 0;

  if (compression != kNoCompression && compression != kRle8) {
    return problem(ImportProblem::kUnsupportedCompression, compression);
  }
  if (layout.width < 0 || storedHeight == std::numeric_limits<std::int32_t>::min()) {
    return problem(ImportProblem::kBadDimensions);
  }
  if (layout.rle8 && layout.topRowFirst) return problem(ImportProblem::kTopDownRle);
  if (layout.pixelOffset < kFileHeaderSize + std::int64_t{headers.infoSize} ||
      layout.pixelOffset > layout.fileSize) {
    return problem(ImportProblem::kBadPixelOffset, layout.pixelOffset);
  }

  layout.height = static_cast<std::int32_t>(storedHeight < 0 ? -storedHeight : storedHeight);
  layout.pixelCount = std::int64_t{layout.width} * layout.height;
  layout.capacity = outputCapacity(layout.pixelCount);
  if (layout.capacity > kLargestCount) return problem(ImportProblem::kTooLarge);

  std::int64_t dataSize = layout.fileSize - layout.pixelOffset;
  if (layout.rle8) {
    if (layout.pixelCount <= kRleFreePixels + dataSize * kRlePixelsPerByte) return {};
    return problem(ImportProblem::kMissingPixels);
  }
  if (layout.pixelCount == 0) return {};
  std::int64_t stride = (std::int64_t{layout.width} + 3) / 4 * 4;
  if (stride * (layout.height - 1) + layout.width <= dataSize) return {};
  return problem(ImportProblem::kMissingPixels);
}

// Rows go into the block in the order the file stores them; the caller flips them if needed.
bool readPlainRows(std::FILE* file, const BitmapLayout& layout, unsigned char* pixels) {
  if (layout.pixelCount == 0) return true;
  if (std::fseek(file, static_cast<long>(layout.pixelOffset), SEEK_SET) != 0) return false;
  std::size_t width = static_cast<std::size_t>(layout.width);
  std::size_t padding = (4 - width % 4) % 4;
  if (padding == 0) return readExactly(file, pixels, static_cast<std::size_t>(layout.pixelCount));
  unsigned char skipped[3];
  for (std::int32_t row = 0; row < layout.height; ++row) {
    if (!readExactly(file, pixels + row * width, width)) return false;
    bool lastRow = row + 1 == layout.height;
    if (!lastRow && !readExactly(file, skipped, padding)) return false;
  }
  return true;
}

// Hands out the RLE8 data a byte at a time from a buffer of its own.
struct ByteSource {
  std::FILE* file;
  unsigned char buffer[4096];
  std::size_t position = 0;
  std::size_t length = 0;
};

bool nextByte(ByteSource& source, unsigned char& byte) {
  if (source.position == source.length) {
    source.length = std::fread(source.buffer, 1, sizeof source.buffer, source.file);
    source.position = 0;
    if (source.length == 0) return false;
  }
  byte = source.buffer[source.position++];
  return true;
}

// The part of `count` pixels from column x on that still lies inside a row of `width`.
std::int64_t insideRow(std::int64_t x, std::int64_t count, std::int64_t width) {
  return std::max<std::int64_t>(0, std::min(count, width - x));
}

// RLE8: `n v` is n pixels of index v; `0 0` ends the line, `0 1` the picture, `0 2 dx dy` moves
// right and onwards; `0 n` (n >= 3) is n literal bytes padded to an even count. Row 0 is the
// bottom row. Encoders run rows out to their padded width, so pixels past the end of a row are
// dropped (their bytes still read); the picture ends with its top row, with a move that leaves
// it, or with the data. Pixels never written keep the 0 they were allocated with.
void decodeRle8(ByteSource& source, const BitmapLayout& layout, unsigned char* pixels) {
  const std::int64_t width = layout.width;
  const std::int64_t height = layout.height;
  std::int64_t x = 0;
  std::int64_t y = 0;
  unsigned char first;
  unsigned char second;
  while (y < height && nextByte(source, first) && nextByte(source, second)) {
    unsigned char* row = pixels + y * width;
    if (first > 0) {
      std::int64_t kept = insideRow(x, first, width);
      if (kept > 0) std::memset(row + x, second, static_cast<std::size_t>(kept));
      x += first;
    } else if (second == 0) {
      x = 0;
      ++y;
    } else if (second == 1) {
      return;
    } else if (second == 2) {
      unsigned char dx;
      unsigned char dy;
      if (!nextByte(source, dx) || !nextByte(source, dy)) return;
      x += dx;
      y += dy;
      if (x > width) return;
    } else {
      const std::int64_t kept = insideRow(x, second, width);
      unsigned char byte;
      for (int i = 0; i < second + second % 2; ++i) {
        if (!nextByte(source, byte)) return;
        if (i < kept) row[x + i] = byte;
      }
      x += second;
    }
  }
}

bool readRle8(std::FILE* file, const BitmapLayout& layout, unsigned char* pixels) {
  if (std::fseek(file, static_cast<long>(layout.pixelOffset), SEEK_SET) != 0) return false;
  ByteSource source;
  source.file = file;
  decodeRle8(source, layout, pixels);
  return true;
}

// A zero-byte picture still gets a real block, so a null pointer always means failure.
std::size_t blockSize(std::int64_t size) {
  return static_cast<std::size_t>(std::max<std::int64_t>(size, 1));
}

Block allocate(std::int64_t size) {
  return Block(static_cast<unsigned char*>(allocateBlock(blockSize(size))));
}

Block allocateZeroed(std::int64_t size) {
  return Block(static_cast<unsigned char*>(allocateZeroedBlock(blockSize(size), 1)));
}

// The output block was sized for the worst case; the stream is usually far smaller.
unsigned char* shrinkToStream(unsigned char* block, std::size_t streamLength) {
  void* smaller = std::realloc(block, std::max<std::size_t>(streamLength, 1));
  return smaller ? static_cast<unsigned char*>(smaller) : block;
}

}  // namespace

std::int64_t outputCapacity(std::int64_t pixelCount) {
  return pixelCount + (pixelCount + 50) / 100 + 12;
}

void flipRows(unsigned char* pixels, std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 1) return;
  const std::size_t rowLength = static_cast<std::size_t>(width);
  unsigned char* top = pixels;
  unsigned char* bottom = pixels + (static_cast<std::size_t>(height) - 1) * rowLength;
  for (; top < bottom; top += rowLength, bottom -= rowLength) {
    std::swap_ranges(top, top + rowLength, bottom);
  }
}

void releaseImportedImage(ImportedImage& image) {
  releaseBlock(image.compressedData);
  image = ImportedImage{};
}

ImportOutcome importBitmap(const char* fileName, ImportedImage& image) {
  FileHandle file(openForReading(fileName));
  if (!file) return problem(ImportProblem::kCannotOpen);
  return importOpenedBitmap(file.get(), image);
}

ImportOutcome importOpenedBitmap(std::FILE* file, ImportedImage& image) {
  BitmapLayout layout;
  const ImportOutcome header = readLayout(file, layout);
  if (!header.ok()) return header;
  // Zeroed, for the pixels an RLE8 picture never writes.
  Block pixels = allocateZeroed(layout.pixelCount);
  Block output = pixels ? allocate(layout.capacity) : nullptr;
  if (!output) return problem(ImportProblem::kOutOfMemory);
  bool read = layout.rle8 ? readRle8(file, layout, pixels.get())
                          : readPlainRows(file, layout, pixels.get());
  if (!read) return problem(ImportProblem::kMissingPixels);
  if (!layout.topRowFirst) flipRows(pixels.get(), layout.width, layout.height);

  uLongf streamLength = static_cast<uLongf>(layout.capacity);
  int status = compress2(output.get(), &streamLength, pixels.get(),
                         static_cast<uLong>(layout.pixelCount), 9);
  pixels.reset();
  if (status != Z_OK) return problem(ImportProblem::kCompressionFailed, status);

  image.width = layout.width;
  image.height = layout.height;
  image.compressedSize = static_cast<std::int32_t>(streamLength);
  image.compressedData = shrinkToStream(output.release(), streamLength);
  return {};
}
