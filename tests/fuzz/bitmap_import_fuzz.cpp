// Any byte string as a picture file, imported from memory without a game palette. Besides the
// sanitizers, every input is held to what the importer promises: a refusal leaves the record alone
// and says why; a success gives a stream that inflates to exactly width x height indices (the very
// pixels of the file, or of a second RLE8 reader); and the heap is never asked for more than a
// small constant plus about three times the pixels the file backs, however large the picture it
// claims.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocation.h"
#include "fuzz_support.h"
#include "picture_import.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bitmap import fuzz: %s\n", what);
  std::abort();
}

std::uint32_t le32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

std::int32_t signedLe32(const std::uint8_t* at) {
  std::uint32_t bits = le32(at);
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// What the header claims, read here independently of the importer.
struct Claim {
  bool readable = false;  // long enough to hold the fields below
  std::int64_t width = 0;
  std::int64_t storedHeight = 0;
  bool rle8 = false;
  bool rle4 = false;
  int bits = 8;
  std::int64_t pixelOffset = 0;
};

// The 12-byte OS/2 core header keeps 16-bit sizes and no compression; any other header keeps
// the 40-byte header's fields as far as it reaches, the rest counting as 0.
Claim claimOf(const std::uint8_t* data, std::size_t size) {
  Claim claim;
  if (size < 18) return claim;
  const std::uint32_t infoSize = le32(data + 14);
  if (infoSize == 12) {
    if (size < 26) return claim;
    claim.width = data[18] | data[19] << 8;
    claim.storedHeight = data[20] | data[21] << 8;
    claim.bits = data[24];
  } else {
    const std::size_t present = 14 + std::min<std::uint32_t>(infoSize, 40);
    if (infoSize < 16 || size < present) return claim;
    std::uint8_t fields[54] = {};
    std::memcpy(fields, data, present);
    claim.width = signedLe32(fields + 18);
    claim.storedHeight = signedLe32(fields + 22);
    claim.rle8 = le32(fields + 30) == 1;
    claim.rle4 = le32(fields + 30) == 2;
    claim.bits = fields[28];
  }
  claim.readable = true;
  claim.pixelOffset = le32(data + 10);
  return claim;
}

// Uncompressed, each pixel needs its own bits after the offset (a byte at 8 bits, an eighth of
// one at 1 bit); RLE may stretch its bytes (runs, moves, ends of line), within the bound the
// importer sets for it. Without a game palette only pictures of 8 bits or fewer are taken.
std::int64_t pixelsBacked(const Claim& claim, std::size_t size) {
  std::int64_t dataBytes = static_cast<std::int64_t>(size) - claim.pixelOffset;
  if (dataBytes < 0) dataBytes = 0;
  if (claim.rle8 || claim.rle4) return 65536 + 256 * dataBytes;
  return claim.bits > 0 && claim.bits <= 8 ? dataBytes * 8 / claim.bits : 0;
}

constexpr std::int64_t kAllocationSlack = 4096;

struct AllocationWatch {
  std::int64_t allowed = 0;
  std::int64_t requested = 0;
};
AllocationWatch watch;

// Checked before the block exists: an oversized request must not get the chance to succeed.
void count(std::size_t size) {
  watch.requested += static_cast<std::int64_t>(size);
  if (watch.requested > watch.allowed) fail("allocation beyond what the file backs");
}

void* watchedAllocate(std::size_t size) {
  count(size);
  return std::malloc(size);
}

void* watchedAllocateZeroed(std::size_t number, std::size_t size) {
  count(number * size);
  return std::calloc(number, size);
}

struct MemoryFile {
  MemoryFile(const std::uint8_t* data, std::size_t size) {
    // fmemopen wants a writable buffer, and a zero-length one is refused by some C libraries.
    bytes.assign(data, data + size);
    bytes.push_back(0);
    file = fmemopen(bytes.data(), size, "rb");
    if (file == nullptr && size > 0) fail("fmemopen failed");
  }
  ~MemoryFile() {
    if (file != nullptr) std::fclose(file);
  }
  std::vector<std::uint8_t> bytes;
  std::FILE* file = nullptr;
};

std::vector<std::uint8_t> inflated(const ImportedImage& image) {
  std::vector<std::uint8_t> out;
  if (!inflateWhole(image.compressedData, static_cast<std::size_t>(image.compressedSize), out)) {
    fail("not one complete zlib stream");
  }
  return out;
}

// Rows padded to 4 bytes, bottom row first unless the stored height is negative.
void checkPlainPixels(const Claim& claim, const std::uint8_t* data,
                      const std::vector<std::uint8_t>& pixels) {
  const std::int64_t width = claim.width;
  const std::int64_t height = claim.storedHeight < 0 ? -claim.storedHeight : claim.storedHeight;
  const std::int64_t stride = (width + 3) / 4 * 4;
  if (width == 0) return;
  for (std::int64_t row = 0; row < height; ++row) {
    std::int64_t stored = claim.storedHeight < 0 ? row : height - 1 - row;
    const std::uint8_t* expected = data + claim.pixelOffset + stored * stride;
    if (std::memcmp(pixels.data() + row * width, expected, static_cast<std::size_t>(width)) != 0) {
      fail("a row differs from the file");
    }
  }
}

// A second RLE8 reader, pixel by pixel: `put` writes only inside the picture, so every rule about
// what falls outside comes down to one test. Gives the rows bottom row first.
std::vector<std::uint8_t> rle8Rows(const Claim& claim, const std::uint8_t* data, std::size_t size) {
  const std::int64_t width = claim.width;
  const std::int64_t height = claim.storedHeight;
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(width * height), 0);
  std::int64_t x = 0;
  std::int64_t y = 0;
  auto put = [&](std::uint8_t index) {
    if (x < width && y < height) rows[static_cast<std::size_t>(y * width + x)] = index;
    ++x;
  };
  std::size_t at = static_cast<std::size_t>(claim.pixelOffset);
  while (y < height && at + 1 < size) {
    const std::uint8_t count = data[at];
    const std::uint8_t value = data[at + 1];
    at += 2;
    if (count > 0) {
      for (int i = 0; i < count; ++i) put(value);
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      if (at + 1 >= size) break;
      x += data[at];
      y += data[at + 1];
      at += 2;
      if (x > width) break;
    } else {
      for (int i = 0; i < value && at < size; ++i) put(data[at++]);
      at += value % 2;
    }
  }
  return rows;
}

void checkRle8Pixels(const Claim& claim, const std::uint8_t* data, std::size_t size,
                     const std::vector<std::uint8_t>& pixels) {
  if (claim.width == 0) return;
  const std::vector<std::uint8_t> rows = rle8Rows(claim, data, size);
  const std::size_t width = static_cast<std::size_t>(claim.width);
  const std::size_t height = static_cast<std::size_t>(claim.storedHeight);
  for (std::size_t row = 0; row < height; ++row) {
    if (std::memcmp(pixels.data() + row * width, rows.data() + (height - 1 - row) * width, width) !=
        0) {
      fail("an RLE8 row differs from the second reading");
    }
  }
}

void checkSuccess(const Claim& claim, const std::uint8_t* data, std::size_t size,
                  const ImportedImage& image) {
  if (!claim.readable) fail("accepted a file shorter than its headers");
  const std::int64_t height = claim.storedHeight < 0 ? -claim.storedHeight : claim.storedHeight;
  if (image.width != claim.width || image.height != height) fail("size differs from the header");
  const std::int64_t pixelCount = claim.width * height;
  if (image.compressedData == nullptr || image.compressedSize <= 0 ||
      image.compressedSize > outputCapacity(pixelCount)) {
    fail("stream size outside its capacity");
  }
  std::vector<std::uint8_t> pixels = inflated(image);
  if (static_cast<std::int64_t>(pixels.size()) != pixelCount) fail("stream is not width x height");
  if (claim.bits != 8) return;  // other depths: their size and stream are checked above
  if (claim.rle8) {
    checkRle8Pixels(claim, data, size, pixels);
  } else {
    checkPlainPixels(claim, data, pixels);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Claim claim = claimOf(data, size);
  watch = AllocationWatch{kAllocationSlack + 3 * pixelsBacked(claim, size), 0};
  MemoryFile memory(data, size);
  if (memory.file == nullptr) return 0;

  unsigned char mark;
  const ImportedImage untouched{-7, -7, &mark, -7};
  ImportedImage image = untouched;
  allocateBlock = &watchedAllocate;
  allocateZeroedBlock = &watchedAllocateZeroed;
  const ImportOutcome outcome = importOpenedBitmap(memory.file, image);
  allocateBlock = &allocateSystemBlock;
  allocateZeroedBlock = &std::calloc;

  if (outcome.ok()) {
    checkSuccess(claim, data, size, image);
    releaseImportedImage(image);
  } else {
    // No allocation is refused here, so a memory error would mean the heap really ran out.
    if (outcome.problem == ImportProblem::kOutOfMemory ||
        outcome.problem == ImportProblem::kCompressionFailed ||
        outcome.problem == ImportProblem::kCannotOpen) {
      fail("refusal for a reason other than the file's content");
    }
    if (image.width != untouched.width || image.height != untouched.height ||
        image.compressedData != untouched.compressedData ||
        image.compressedSize != untouched.compressedSize) {
      fail("refusal touched the record");
    }
  }
  return 0;
}
