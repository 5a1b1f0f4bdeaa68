#include "picture_import.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

#include "bitmap_decoder.h"
#include "colour_mapping.h"
#include "file_open.h"
#include "other_formats.h"
#include "png_check.h"
#include "png_decoder.h"

namespace {

ImportOutcome problem(ImportProblem kind, long long detail = 0) { return {kind, detail}; }

// The output block was sized for the worst case; the stream is usually far smaller.
unsigned char* shrinkToStream(unsigned char* block, std::size_t streamLength) {
  void* smaller = std::realloc(block, std::max<std::size_t>(streamLength, 1));
  return smaller ? static_cast<unsigned char*>(smaller) : block;
}

// A PNG, checked before its decoder sees it; a true-colour one only with a palette to map onto.
ImportOutcome decodePngPicture(std::FILE* file, const ImportOptions& options,
                               DecodedPicture& picture) {
  PngFacts facts;
  ImportOutcome decoded = readPng(file, options.hasPalette, facts, picture);
  if (decoded.ok() && !pngIsIndexed(facts) && !options.hasPalette) {
    decoded = problem(ImportProblem::kNeedsPalette, pngBitsPerPixel(facts));
  }
  // Grey and grey with alpha (colour types 0 and 4) have shades, not colours.
  decoded.grey = decoded.problem == ImportProblem::kNeedsPalette && (facts.colourType & 2) == 0;
  return decoded;
}

// What is not a picture is named by its first bytes when they tell another format.
ImportOutcome withOtherFormat(ImportOutcome outcome, std::FILE* file) {
  if (outcome.problem == ImportProblem::kNotAPicture) {
    outcome.detail = static_cast<long long>(recogniseOtherFormat(file));
  }
  return outcome;
}

// compress2's own settings (level 9, a 32 KB window, memory level 8), fed rows a chunk at a time:
// the stream is byte for byte the one compress2 makes of the same bytes in one block.
struct RowCompressor {
  z_stream stream{};
  bool started = false;
  int status = Z_OK;
  RowCompressor() = default;
  RowCompressor(const RowCompressor&) = delete;
  RowCompressor& operator=(const RowCompressor&) = delete;
  ~RowCompressor() {
    if (started) deflateEnd(&stream);
  }
};

void compressRows(RowCompressor& compressor, const unsigned char* rows, std::size_t length) {
  if (compressor.status != Z_OK) return;
  compressor.stream.next_in = const_cast<unsigned char*>(rows);
  compressor.stream.avail_in = static_cast<uInt>(length);
  compressor.status = deflate(&compressor.stream, Z_NO_FLUSH);
  if (compressor.status == Z_OK && compressor.stream.avail_in != 0) {
    compressor.status = Z_BUF_ERROR;  // the room is zlib's worst case: cannot happen
  }
}

// An unmapped 8-bit bitmap's rows, read a chunk at a time, put in order and compressed as they
// come: no block for the whole picture, no pass over it besides deflate's.
ImportOutcome streamBitmapRows(std::FILE* file, const BitmapLayout& layout, ImportedImage& image) {
  const std::int64_t capacity = outputCapacity(layout.pixelCount);
  Block output = allocateBytes(capacity);
  if (!output) return problem(ImportProblem::kOutOfMemory);
  RowCompressor compressor;
  compressor.status = deflateInit(&compressor.stream, 9);
  if (compressor.status == Z_MEM_ERROR) return problem(ImportProblem::kOutOfMemory);
  if (compressor.status != Z_OK) {
    return problem(ImportProblem::kCompressionFailed, compressor.status);
  }
  compressor.started = true;
  compressor.stream.next_out = output.get();
  compressor.stream.avail_out = static_cast<uInt>(capacity);
  const ImportProblem read = readIndexRowsTopFirst(
      file, layout,
      [&](const unsigned char* rows, std::size_t bytes) { compressRows(compressor, rows, bytes); });
  if (read != ImportProblem::kNone) return problem(read);
  if (compressor.status == Z_OK) compressor.status = deflate(&compressor.stream, Z_FINISH);
  if (compressor.status != Z_STREAM_END) {
    return problem(ImportProblem::kCompressionFailed, compressor.status);
  }
  image.width = layout.width;
  image.height = layout.height;
  image.compressedSize = static_cast<std::int32_t>(compressor.stream.total_out);
  image.compressedData = shrinkToStream(output.release(), compressor.stream.total_out);
  return {};
}

ImportOutcome decodeBitmapPicture(std::FILE* file, const BitmapLayout& layout,
                                  const ImportOptions& options, DecodedPicture& picture) {
  if (!bitmapIsIndexed(layout) && !options.hasPalette) {
    return problem(ImportProblem::kNeedsPalette, layout.bitsPerPixel);
  }
  return readBitmapPixels(file, layout, picture);
}

// The indices, top row first, into one zlib stream.
ImportOutcome compressPicture(DecodedPicture& picture, ImportedImage& image) {
  const std::int64_t count = pixelCountOf(picture);
  const std::int64_t capacity = outputCapacity(count);
  Block output = allocateBytes(capacity);
  if (!output) return problem(ImportProblem::kOutOfMemory);
  uLongf streamLength = static_cast<uLongf>(capacity);
  const int status =
      compress2(output.get(), &streamLength, picture.pixels.get(), static_cast<uLong>(count), 9);
  picture.pixels.reset();
  if (status != Z_OK) return problem(ImportProblem::kCompressionFailed, status);
  image.width = picture.width;
  image.height = picture.height;
  image.compressedSize = static_cast<std::int32_t>(streamLength);
  image.compressedData = shrinkToStream(output.release(), streamLength);
  return {};
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

ImportOutcome importPicture(const char* fileName, const ImportOptions& options,
                            ImportedImage& image, MappingReport* report) {
  FileHandle file(openForReading(fileName));
  if (!file) return problem(ImportProblem::kCannotOpen);
  return importOpenedPicture(file.get(), options, image, report);
}

ImportOutcome importOpenedPicture(std::FILE* file, const ImportOptions& options,
                                  ImportedImage& image, MappingReport* report) {
  unsigned char start[8] = {};
  std::rewind(file);
  const std::size_t got = std::fread(start, 1, sizeof start, file);
  const bool png = hasPngSignature(start, got);
  BitmapLayout layout;
  if (!png) {
    const ImportOutcome header = readBitmapLayout(file, layout);
    if (!header.ok()) return withOtherFormat(header, file);
    if (!options.hasPalette && bitmapRowsAreIndices(layout)) {
      const ImportOutcome streamed = streamBitmapRows(file, layout, image);
      if (streamed.ok() && report != nullptr) *report = MappingReport{false, layout.pixelCount};
      return streamed;
    }
  }
  DecodedPicture picture;
  const ImportOutcome decoded = png ? decodePngPicture(file, options, picture)
                                    : decodeBitmapPicture(file, layout, options, picture);
  if (!decoded.ok()) return withOtherFormat(decoded, file);
  MappingReport mapping;
  mapping.pixels = pixelCountOf(picture);
  if (options.hasPalette) {
    const ImportOutcome mapped = mapPicture(picture, options, mapping);
    if (!mapped.ok()) return mapped;
  }
  const ImportOutcome compressed = compressPicture(picture, image);
  if (compressed.ok() && report != nullptr) *report = mapping;
  return compressed;
}

ImportOutcome importBitmap(const char* fileName, ImportedImage& image) {
  return importPicture(fileName, ImportOptions{}, image);
}

ImportOutcome importOpenedBitmap(std::FILE* file, ImportedImage& image) {
  return importOpenedPicture(file, ImportOptions{}, image);
}
