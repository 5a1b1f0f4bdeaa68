#include "bitmap_decoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "file_open.h"
#include "little_endian.h"

// Fields of a Windows bitmap file that the import reads, all little-endian:
//   0  2  file type, the letters B M          14  4  information header size
//  10  4  offset of the pixel data
// After a header of 16 bytes or more (40, 52, 56, 108, 124, or an OS/2 2.x header of 16 to 64
// bytes, whose fields beyond its size count as 0):
//  18  4  width, signed                       28  1  bits per pixel, low byte (byte 29 is not
//  22  4  height, signed; negative = rows             looked at)
//         stored top row first                30  4  compression: 0 none, 1 RLE8, 2 RLE4,
//  46  4  colours in the palette (0: all)             3 bit fields
//  54 16  red, green, blue, alpha masks of bit fields (after a 40-byte header: red, green and
//         blue only, right after it)
// After the 12-byte OS/2 core header: 18 2 width, 20 2 height (both unsigned), 24 1 bits per
// pixel, and a palette of 3-byte entries.
// The palette follows the information header: blue, green, red and a zero byte per colour.
// Rows are stored bottom row first unless the height is negative, each padded to 4 bytes.

namespace {

constexpr long kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kSmallestInfoHeader = 16;
constexpr std::uint32_t kFieldsRead = 40;  // the information header fields read as fields
constexpr std::uint32_t kOs2FullHeader = 64;
constexpr std::uint32_t kNoCompression = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::uint32_t kRle4 = 2;
constexpr std::uint32_t kBitFields = 3;
constexpr std::int64_t kLargestCount = std::numeric_limits<std::int32_t>::max();

// An RLE file can describe far more pixels than it has bytes (a run, an end-of-line or a move
// covers many), yet a tiny file claiming a huge picture is an attack, not a picture. Encoders
// stay far below this (a flat 4096-pixel row takes some 36 bytes, about 114 pixels a byte), and
// it keeps the blocks a small multiple of what the file really backs.
constexpr std::int64_t kRleFreePixels = 1 << 16;
constexpr std::int64_t kRlePixelsPerByte = 256;

bool readExactly(std::FILE* file, void* into, std::size_t size) {
  return std::fread(into, 1, size, file) == size;
}

bool readAt(std::FILE* file, std::int64_t offset, void* into, std::size_t size) {
  if (offset > std::numeric_limits<long>::max()) return false;
  return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
         readExactly(file, into, size);
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

bool bitCountExists(int bits, bool core) {
  switch (bits) {
    case 1:
    case 4:
    case 8:
    case 24:
      return true;
    case 16:
    case 32:
      return !core;
    default:
      return false;
  }
}

// Where the bit count lives depends on the header kind, so the size comes first. Returns the
// problem found, or kNone with the bit count checked.
ImportOutcome checkKindAndBits(Headers& headers, int& bits) {
  const unsigned char* bytes = headers.bytes;
  if (headers.available < 2 || readLittleEndian(bytes, 2) != 0x4D42) {
    return problem(ImportProblem::kNotAPicture);
  }
  if (headers.available < kFileHeaderSize + 4) return problem(ImportProblem::kTooShort);
  headers.infoSize = readLittleEndian(bytes + 14, 4);
  const bool core = headers.infoSize == kCoreHeader;
  if (!core && headers.infoSize < kSmallestInfoHeader) {
    return problem(ImportProblem::kUnsupportedHeader, headers.infoSize);
  }
  const std::size_t bitCountAt = core ? 24 : 28;
  if (headers.available <= bitCountAt) return problem(ImportProblem::kTooShort);
  bits = bytes[bitCountAt];
  if (!bitCountExists(bits, core)) return problem(ImportProblem::kUnsupportedBitDepth, bits);
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

// The compression field means something only together with the bit count; an OS/2 2.x header's
// 3 is its own Huffman coding, not bit fields.
bool codingOf(std::uint32_t compression, const BitmapLayout& layout, BitmapCoding& coding) {
  const int bits = layout.bitsPerPixel;
  const bool os2 = layout.infoSize < kFieldsRead || layout.infoSize == kOs2FullHeader;
  switch (compression) {
    case kNoCompression:
      coding = BitmapCoding::kPlain;
      return true;
    case kRle8:
      coding = BitmapCoding::kRle8;
      return bits == 8;
    case kRle4:
      coding = BitmapCoding::kRle4;
      return bits == 4;
    case kBitFields:
      coding = BitmapCoding::kBitFields;
      return (bits == 16 || bits == 32) && !os2;
    default:
      return false;
  }
}

// Bit fields: red, green and blue masks right after a 40-byte header or inside a larger one,
// which alone has room for an alpha mask. Plain 16 and 32 bits have fixed masks, and the fourth
// byte of a plain 32-bit pixel is no alpha.
bool readMasks(std::FILE* file, BitmapLayout& layout) {
  if (layout.coding != BitmapCoding::kBitFields) {
    if (layout.bitsPerPixel == 16) {
      layout.masks[0] = 0x7C00;
      layout.masks[1] = 0x03E0;
      layout.masks[2] = 0x001F;
    } else {
      layout.masks[0] = 0xFF0000;
      layout.masks[1] = 0x00FF00;
      layout.masks[2] = 0x0000FF;
    }
    return true;
  }
  unsigned char bytes[16] = {};
  const std::size_t wanted = layout.infoSize >= 56 ? 16 : 12;
  if (!readAt(file, kFileHeaderSize + 40, bytes, wanted)) return false;
  for (int i = 0; i < 4; ++i) layout.masks[i] = readLittleEndian(bytes + 4 * i, 4);
  return true;
}

void placePalette(const Headers& headers, BitmapLayout& layout) {
  const bool core = layout.infoSize == kCoreHeader;
  layout.paletteOffset = kFileHeaderSize + std::int64_t{layout.infoSize};
  if (layout.coding == BitmapCoding::kBitFields && layout.infoSize == kFieldsRead) {
    layout.paletteOffset += 12;
  }
  if (!bitmapIsIndexed(layout)) return;
  layout.paletteEntrySize = core ? 3 : 4;
  const std::int64_t most = std::int64_t{1} << layout.bitsPerPixel;
  std::int64_t listed = core ? most : readLittleEndian(headers.bytes + 46, 4);
  if (listed == 0 || listed > most) listed = most;
  const std::int64_t room = (layout.pixelOffset - layout.paletteOffset) / layout.paletteEntrySize;
  layout.paletteEntries = static_cast<int>(std::max<std::int64_t>(0, std::min(listed, room)));
}

std::int64_t strideOf(const BitmapLayout& layout) {
  return (std::int64_t{layout.width} * layout.bitsPerPixel + 31) / 32 * 4;
}

std::int64_t rowBytesOf(const BitmapLayout& layout) {
  return (std::int64_t{layout.width} * layout.bitsPerPixel + 7) / 8;
}

ImportOutcome checkPixelData(const BitmapLayout& layout) {
  const std::int64_t dataSize = layout.fileSize - layout.pixelOffset;
  if (layout.coding == BitmapCoding::kRle8 || layout.coding == BitmapCoding::kRle4) {
    if (layout.pixelCount <= kRleFreePixels + dataSize * kRlePixelsPerByte) return {};
    return problem(ImportProblem::kMissingPixels);
  }
  if (layout.pixelCount == 0) return {};
  if (strideOf(layout) * (layout.height - 1) + rowBytesOf(layout) <= dataSize) return {};
  return problem(ImportProblem::kMissingPixels);
}

// Hands out RLE data a byte at a time from a buffer of its own.
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

// RLE8 and RLE4: `n v` is n pixels of index v (RLE4: the high and the low nibble of v in turn);
// `0 0` ends the line, `0 1` the picture, `0 2 dx dy` moves right and onwards; `0 n` (n >= 3) is
// n literal pixels (RLE4: two to a byte) whose bytes are padded to an even count. Row 0 is the
// bottom row. Encoders run rows out to their padded width, so pixels past the end of a row are
// dropped (their bytes still read); the picture ends with its top row, with a move that leaves
// it, or with the data. Pixels never written keep the 0 they were allocated with.
struct RleCursor {
  unsigned char* pixels;
  std::int64_t width;
  std::int64_t height;
  std::int64_t x = 0;
  std::int64_t y = 0;
};

void put(RleCursor& cursor, unsigned char index) {
  if (cursor.x < cursor.width) cursor.pixels[cursor.y * cursor.width + cursor.x] = index;
  ++cursor.x;
}

void runOf(RleCursor& cursor, int count, unsigned char value, bool fourBits) {
  if (!fourBits) {
    const std::int64_t kept =
        std::max<std::int64_t>(0, std::min<std::int64_t>(count, cursor.width - cursor.x));
    if (kept > 0) {
      std::memset(cursor.pixels + cursor.y * cursor.width + cursor.x, value,
                  static_cast<std::size_t>(kept));
    }
    cursor.x += count;
    return;
  }
  const unsigned char high = value >> 4;
  const unsigned char low = value & 0x0F;
  for (int i = 0; i < count && cursor.x < cursor.width; ++i) put(cursor, i % 2 == 0 ? high : low);
}

// False when the data ends inside the block.
bool literalOf(ByteSource& source, RleCursor& cursor, int count, bool fourBits) {
  const int bytes = fourBits ? (count + 1) / 2 : count;
  unsigned char byte = 0;
  int written = 0;
  for (int i = 0; i < bytes + bytes % 2; ++i) {
    if (!nextByte(source, byte)) return false;
    if (i >= bytes) continue;
    if (!fourBits) {
      put(cursor, byte);
      ++written;
      continue;
    }
    put(cursor, byte >> 4);
    if (++written < count) {
      put(cursor, byte & 0x0F);
      ++written;
    }
  }
  return true;
}

void decodeRle(ByteSource& source, const BitmapLayout& layout, unsigned char* pixels) {
  const bool fourBits = layout.coding == BitmapCoding::kRle4;
  RleCursor cursor{pixels, layout.width, layout.height};
  unsigned char first;
  unsigned char second;
  while (cursor.y < cursor.height && nextByte(source, first) && nextByte(source, second)) {
    if (first > 0) {
      const std::int64_t start = cursor.x;
      runOf(cursor, first, second, fourBits);
      cursor.x = start + first;
    } else if (second == 0) {
      cursor.x = 0;
      ++cursor.y;
    } else if (second == 1) {
      return;
    } else if (second == 2) {
      unsigned char dx;
      unsigned char dy;
      if (!nextByte(source, dx) || !nextByte(source, dy)) return;
      cursor.x += dx;
      cursor.y += dy;
      if (cursor.x > cursor.width) return;
    } else {
      const std::int64_t start = cursor.x;
      if (!literalOf(source, cursor, second, fourBits)) return;
      cursor.x = start + second;
    }
  }
}

// A mask's field, scaled to 0..255 by rounding down, as the common readers do; an empty mask
// gives 0.
struct Channel {
  int shift = 0;
  std::uint32_t largest = 0;  // the field's largest value
};

Channel channelOf(std::uint32_t mask) {
  Channel channel;
  if (mask == 0) return channel;
  while ((mask & 1u) == 0) {
    mask >>= 1;
    ++channel.shift;
  }
  channel.largest = mask;
  return channel;
}

unsigned char channelValue(std::uint32_t pixel, std::uint32_t mask, const Channel& channel) {
  if (channel.largest == 0) return 0;
  const std::uint64_t field = (pixel & mask) >> channel.shift;
  return static_cast<unsigned char>(field * 255 / channel.largest);
}

void unpackIndices(const unsigned char* stored, int bits, std::int32_t width, unsigned char* out) {
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (std::int32_t x = 0; x < width; ++x) {
    const int shift = 8 - bits * (x % perByte + 1);
    out[x] = static_cast<unsigned char>((stored[x / perByte] >> shift) & mask);
  }
}

void convertTrueColourRow(const unsigned char* stored, const BitmapLayout& layout,
                          const Channel (&channels)[4], unsigned char* out) {
  const int bits = layout.bitsPerPixel;
  for (std::int32_t x = 0; x < layout.width; ++x, out += 4) {
    if (bits == 24) {
      const unsigned char* pixel = stored + 3 * x;
      out[0] = pixel[2];
      out[1] = pixel[1];
      out[2] = pixel[0];
      out[3] = 255;
      continue;
    }
    const std::uint32_t pixel = readLittleEndian(stored + x * (bits / 8), bits / 8);
    for (int c = 0; c < 3; ++c) out[c] = channelValue(pixel, layout.masks[c], channels[c]);
    out[3] = layout.masks[3] == 0 ? 255 : channelValue(pixel, layout.masks[3], channels[3]);
  }
}

// Rows go straight to their place, top row first: 8-bit rows as they are, others through a row
// buffer of their own.
ImportProblem readPlainRows(std::FILE* file, const BitmapLayout& layout, unsigned char* pixels) {
  if (layout.pixelCount == 0) return ImportProblem::kNone;
  if (std::fseek(file, static_cast<long>(layout.pixelOffset), SEEK_SET) != 0) {
    return ImportProblem::kMissingPixels;
  }
  const std::size_t width = static_cast<std::size_t>(layout.width);
  const std::size_t stride = static_cast<std::size_t>(strideOf(layout));
  const std::size_t rowBytes = static_cast<std::size_t>(rowBytesOf(layout));
  const bool eightBits = layout.bitsPerPixel == 8;
  if (eightBits && stride == width) {
    if (!readExactly(file, pixels, static_cast<std::size_t>(layout.pixelCount))) {
      return ImportProblem::kMissingPixels;
    }
    if (!layout.topRowFirst) flipRows(pixels, layout.width, layout.height);
    return ImportProblem::kNone;
  }
  Block row = eightBits ? nullptr : allocateBytes(static_cast<std::int64_t>(stride));
  if (!eightBits && !row) return ImportProblem::kOutOfMemory;
  Channel channels[4];
  for (int c = 0; c < 4; ++c) channels[c] = channelOf(layout.masks[c]);
  const std::size_t outWidth = bitmapIsIndexed(layout) ? width : 4 * width;
  unsigned char padding[3];
  for (std::int32_t stored = 0; stored < layout.height; ++stored) {
    const bool lastRow = stored + 1 == layout.height;
    const std::size_t at =
        static_cast<std::size_t>(layout.topRowFirst ? stored : layout.height - 1 - stored);
    unsigned char* out = pixels + at * outWidth;
    if (eightBits) {
      if (!readExactly(file, out, width) ||
          (!lastRow && !readExactly(file, padding, stride - width))) {
        return ImportProblem::kMissingPixels;
      }
      continue;
    }
    if (!readExactly(file, row.get(), lastRow ? rowBytes : stride)) {
      return ImportProblem::kMissingPixels;
    }
    if (bitmapIsIndexed(layout)) {
      unpackIndices(row.get(), layout.bitsPerPixel, layout.width, out);
    } else {
      convertTrueColourRow(row.get(), layout, channels, out);
    }
  }
  return ImportProblem::kNone;
}

bool readRle(std::FILE* file, const BitmapLayout& layout, unsigned char* pixels) {
  if (std::fseek(file, static_cast<long>(layout.pixelOffset), SEEK_SET) != 0) return false;
  ByteSource source;
  source.file = file;
  decodeRle(source, layout, pixels);
  flipRows(pixels, layout.width, layout.height);
  return true;
}

// Entries the file does not have stay opaque black; an index past them shows black.
void readBitmapPalette(std::FILE* file, const BitmapLayout& layout, DecodedPicture& picture) {
  for (auto& entry : picture.palette) {
    entry[0] = entry[1] = entry[2] = 0;
    entry[3] = 255;
  }
  picture.paletteCount = 0;
  unsigned char listed[256 * 4];
  const std::size_t size =
      static_cast<std::size_t>(layout.paletteEntries) * layout.paletteEntrySize;
  if (size == 0 || !readAt(file, layout.paletteOffset, listed, size)) return;
  for (int i = 0; i < layout.paletteEntries; ++i) {
    const unsigned char* entry = listed + i * layout.paletteEntrySize;
    picture.palette[i][0] = entry[2];
    picture.palette[i][1] = entry[1];
    picture.palette[i][2] = entry[0];
  }
  picture.paletteCount = layout.paletteEntries;
}

// The rows of the pixel data from stored row `first` on, `count` of them, into `buffer`: the last
// row of the file may end without its padding.
bool readStoredRows(std::FILE* file, const BitmapLayout& layout, std::int64_t first,
                    std::int64_t count, unsigned char* buffer) {
  const std::int64_t stride = strideOf(layout);
  const bool endsWithLastRow = first + count == layout.height;
  const std::int64_t bytes = stride * count - (endsWithLastRow ? stride - rowBytesOf(layout) : 0);
  return readAt(file, layout.pixelOffset + first * stride, buffer, static_cast<std::size_t>(bytes));
}

}  // namespace

ImportProblem readIndexRowsTopFirst(std::FILE* file, const BitmapLayout& layout,
                                    const TakeRows& take) {
  if (layout.pixelCount == 0) return ImportProblem::kNone;
  // Chunks of 32 KB on the stack, whose pages are there already: heap blocks would be fresh
  // pages each time, and faulting them in costs more than everything else the import adds to
  // the compression. Only a row longer than that takes heap blocks.
  constexpr std::int64_t kChunkBytes = 32 * 1024;
  unsigned char onStack[2][kChunkBytes];
  const std::int64_t width = layout.width;
  const std::int64_t stride = strideOf(layout);
  const std::int64_t rowsPerChunk = std::max<std::int64_t>(1, kChunkBytes / stride);
  const bool longRows = stride > kChunkBytes;
  Block storedBlock = longRows ? allocateBytes(stride) : nullptr;
  Block orderedBlock = longRows ? allocateBytes(width) : nullptr;
  if (longRows && (!storedBlock || !orderedBlock)) return ImportProblem::kOutOfMemory;
  unsigned char* stored = longRows ? storedBlock.get() : onStack[0];
  unsigned char* ordered = longRows ? orderedBlock.get() : onStack[1];
  // Rows stored top row first without padding go on as they are read; others are put in order
  // in the second buffer, in the cache, rather than handed on a row at a time.
  const bool asStored = layout.topRowFirst && stride == width;
  // Stored rows [first, first + count) of each chunk, the chunks in the order that gives the
  // top row first: from the file's start when it is stored top row first, else from its end.
  for (std::int64_t done = 0; done < layout.height; done += rowsPerChunk) {
    const std::int64_t count = std::min(rowsPerChunk, layout.height - done);
    const std::int64_t first = layout.topRowFirst ? done : layout.height - done - count;
    if (!readStoredRows(file, layout, first, count, stored)) {
      return ImportProblem::kMissingPixels;
    }
    if (!asStored) {
      for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t row = layout.topRowFirst ? i : count - 1 - i;
        std::memcpy(ordered + i * width, stored + row * stride, static_cast<std::size_t>(width));
      }
    }
    take(asStored ? stored : ordered, static_cast<std::size_t>(width * count));
  }
  return ImportProblem::kNone;
}

// The header checks in order: the type, the header size that says where the bit count is, the
// bit count, then everything the pixel read will rely on.
ImportOutcome readBitmapLayout(std::FILE* file, BitmapLayout& layout) {
  layout.fileSize = fileSize(file);
  Headers headers;
  if (!readHeaders(file, layout.fileSize, headers)) return problem(ImportProblem::kTooShort);
  const ImportOutcome kind = checkKindAndBits(headers, layout.bitsPerPixel);
  if (!kind.ok()) return kind;
  layout.infoSize = headers.infoSize;

  const std::uint32_t compression = readLittleEndian(headers.bytes + 30, 4);
  std::int64_t storedHeight = 0;
  readDimensions(headers, layout, storedHeight);
  layout.pixelOffset = readLittleEndian(headers.bytes + 10, 4);
  layout.topRowFirst = storedHeight < 0;

  if (!codingOf(compression, layout, layout.coding)) {
    return problem(ImportProblem::kUnsupportedCompression, compression);
  }
  const bool rle = layout.coding == BitmapCoding::kRle8 || layout.coding == BitmapCoding::kRle4;
  if (layout.width < 0 || storedHeight == std::numeric_limits<std::int32_t>::min()) {
    return problem(ImportProblem::kBadDimensions);
  }
  if (rle && layout.topRowFirst) return problem(ImportProblem::kTopDownRle);
  std::int64_t headersEnd = kFileHeaderSize + std::int64_t{headers.infoSize};
  if (layout.coding == BitmapCoding::kBitFields && layout.infoSize == kFieldsRead) headersEnd += 12;
  if (layout.pixelOffset < headersEnd || layout.pixelOffset > layout.fileSize) {
    return problem(ImportProblem::kBadPixelOffset, layout.pixelOffset);
  }
  if (!bitmapIsIndexed(layout) && !readMasks(file, layout)) {
    return problem(ImportProblem::kTooShort);
  }
  placePalette(headers, layout);

  layout.height = static_cast<std::int32_t>(storedHeight < 0 ? -storedHeight : storedHeight);
  layout.pixelCount = std::int64_t{layout.width} * layout.height;
  layout.capacity = outputCapacity(layout.pixelCount);
  if (layout.capacity > kLargestCount) return problem(ImportProblem::kTooLarge);
  return checkPixelData(layout);
}

ImportOutcome readBitmapPixels(std::FILE* file, const BitmapLayout& layout,
                               DecodedPicture& picture) {
  picture.width = layout.width;
  picture.height = layout.height;
  picture.bitsPerPixel = layout.bitsPerPixel;
  picture.indexed = bitmapIsIndexed(layout);
  // Zeroed only for RLE, whose pixels may be left unwritten: plain rows write every byte, and
  // zeroing their block first would be a pass over the picture for nothing.
  const bool rle = layout.coding == BitmapCoding::kRle8 || layout.coding == BitmapCoding::kRle4;
  const std::int64_t size = layout.pixelCount * (picture.indexed ? 1 : 4);
  picture.pixels = rle ? allocateZeroedBytes(size) : allocateBytes(size);
  if (!picture.pixels) return problem(ImportProblem::kOutOfMemory);
  if (rle) {
    if (!readRle(file, layout, picture.pixels.get())) return problem(ImportProblem::kMissingPixels);
  } else {
    const ImportProblem rows = readPlainRows(file, layout, picture.pixels.get());
    if (rows != ImportProblem::kNone) return problem(rows);
  }
  if (picture.indexed) readBitmapPalette(file, layout, picture);
  return {};
}
