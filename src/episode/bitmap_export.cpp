#include "bitmap_export.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "file_open.h"
#include "little_endian.h"
#include "safe_file.h"

namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kCoreHeaderSize = 12;  // the old header: 16-bit sizes, 3-byte colours
constexpr std::uint32_t kSmallestOs2Header =
    16;  // OS/2 2.x: the 40-byte fields as far as it reaches
constexpr std::uint32_t kPixelOffset = kFileHeaderSize + kInfoHeaderSize + 256 * 4;  // 1078
constexpr std::uint32_t kPixelsPerMetre = 2835;                                      // 72 dpi

std::uint32_t strideOf(std::int32_t width) {
  return (static_cast<std::uint32_t>(width) + 3) / 4 * 4;
}

void fillHeaders(unsigned char (&headers)[kPixelOffset], std::int32_t width, std::int32_t height,
                 const Palette& palette) {
  std::memset(headers, 0, sizeof headers);
  const std::uint32_t imageSize = strideOf(width) * static_cast<std::uint32_t>(height);
  headers[0] = 'B';
  headers[1] = 'M';
  writeLittleEndian(headers + 2, kPixelOffset + imageSize, 4);
  writeLittleEndian(headers + 10, kPixelOffset, 4);
  writeLittleEndian(headers + 14, kInfoHeaderSize, 4);
  writeLittleEndian(headers + 18, static_cast<std::uint32_t>(width), 4);
  writeLittleEndian(headers + 22, static_cast<std::uint32_t>(height), 4);
  writeLittleEndian(headers + 26, 1, 2);  // planes
  writeLittleEndian(headers + 28, 8, 2);  // bits per pixel
  writeLittleEndian(headers + 34, imageSize, 4);
  writeLittleEndian(headers + 38, kPixelsPerMetre, 4);
  writeLittleEndian(headers + 42, kPixelsPerMetre, 4);
  writeLittleEndian(headers + 46, 256, 4);  // colours used
  std::memcpy(headers + kFileHeaderSize + kInfoHeaderSize, palette.entries, sizeof palette.entries);
}

PaletteOutcome paletteProblem(PaletteProblem kind, long long detail = 0) { return {kind, detail}; }

}  // namespace

Palette greyRamp() {
  Palette palette{};
  for (int i = 0; i < 256; ++i) {
    for (int channel = 0; channel < 3; ++channel) {
      palette.entries[i][channel] = static_cast<unsigned char>(i);
    }
  }
  return palette;
}

// Fields read: 10 pixel offset, 14 information header size; with the 40-byte header and larger,
// 28 bit count and 46 colours used (0: all 256); with the 12-byte one, 24 bit count.
PaletteOutcome readPalette(const char* path, Palette& palette) {
  FileHandle file(openForReading(path));
  if (!file) return paletteProblem(PaletteProblem::kCannotOpen);
  unsigned char header[kFileHeaderSize + kInfoHeaderSize] = {};
  std::size_t got = std::fread(header, 1, sizeof header, file.get());
  if (got < kFileHeaderSize + kCoreHeaderSize || header[0] != 'B' || header[1] != 'M') {
    return paletteProblem(PaletteProblem::kNotABitmap);
  }
  const std::uint32_t infoSize = readLittleEndian(header + 14, 4);
  const bool core = infoSize == kCoreHeaderSize;
  if (!core && infoSize < kSmallestOs2Header) {
    return paletteProblem(PaletteProblem::kUnsupportedHeader, infoSize);
  }
  // An OS/2 2.x header stops part way through the 40-byte one: the fields it lacks count as 0.
  const std::size_t headerEnd = kFileHeaderSize + std::min<std::size_t>(infoSize, kInfoHeaderSize);
  if (!core && got < headerEnd) return paletteProblem(PaletteProblem::kNotABitmap);
  if (!core) std::fill(header + headerEnd, header + sizeof header, 0);
  const std::uint32_t bits = readLittleEndian(header + (core ? 24 : 28), 2);
  if (bits != 8) return paletteProblem(PaletteProblem::kNotEightBits, bits);
  std::uint32_t colours = core ? 256 : readLittleEndian(header + 46, 4);
  if (colours == 0 || colours > 256) colours = 256;
  const std::size_t entrySize = core ? 3 : 4;

  unsigned char listed[256 * 4];
  const std::int64_t at = std::int64_t{kFileHeaderSize} + infoSize;
  const std::size_t wanted = colours * entrySize;
  if (at > std::numeric_limits<long>::max() ||
      std::fseek(file.get(), static_cast<long>(at), SEEK_SET) != 0 ||
      std::fread(listed, 1, wanted, file.get()) != wanted) {
    return paletteProblem(PaletteProblem::kPaletteMissing);
  }
  palette = Palette{};
  for (std::uint32_t i = 0; i < colours; ++i) {
    std::memcpy(palette.entries[i], listed + i * entrySize, 3);
  }
  return {};
}

std::uint64_t bitmapFileSize(std::int32_t width, std::int32_t height) {
  if (width < 0 || height < 0) return 0;
  return std::uint64_t{strideOf(width)} * static_cast<std::uint32_t>(height) + kPixelOffset;
}

bool writeBitmapFile(const char* path, std::int32_t width, std::int32_t height,
                     const unsigned char* pixels, const Palette& palette,
                     const FileIdentities& untouchable) {
  if (width < 0 || height < 0 || bitmapFileSize(width, height) > kLargestBitmapFile) return false;
  unsigned char headers[kPixelOffset];
  fillHeaders(headers, width, height, palette);
  PendingFile file;
  if (!beginReplace(file, path, untouchable)) return false;
  // Rows are gathered into blocks of 64 KB: a very wide or very tall picture of short rows would
  // otherwise cost a system call for every few bytes.
  constexpr std::size_t kBlockSize = 64 * 1024;
  std::vector<unsigned char> block;
  block.reserve(kBlockSize);
  auto add = [&](const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
      const std::size_t room = kBlockSize - block.size();
      const std::size_t taken = std::min(room, size);
      block.insert(block.end(), bytes, bytes + taken);
      bytes += taken;
      size -= taken;
      if (block.size() == kBlockSize) {
        appendBytes(file, block.data(), block.size());
        block.clear();
      }
    }
  };
  add(headers, sizeof headers);
  const std::size_t rowLength = static_cast<std::size_t>(width);
  const unsigned char padding[3] = {0, 0, 0};
  for (std::int32_t row = height - 1; row >= 0 && !file.failed; --row) {
    add(pixels + static_cast<std::size_t>(row) * rowLength, rowLength);
    add(padding, strideOf(width) - rowLength);
  }
  if (!block.empty()) appendBytes(file, block.data(), block.size());
  return commitReplace(file);
}
