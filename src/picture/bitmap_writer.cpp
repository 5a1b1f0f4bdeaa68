#include "bitmap_writer.h"

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
