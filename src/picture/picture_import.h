// Turning a picture file (a bitmap of any depth, or a PNG) into the form the episode file
// stores: the picture's size and its palette indices, top row first, as one zlib stream.
// Indexed pictures keep their indices; with the game's palette, any picture is mapped onto it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "palette_file.h"

struct ThreadBudget;  // processors.h

struct ImportedImage {
  std::int32_t width;
  std::int32_t height;
  unsigned char* compressedData;  // one zlib stream; the caller owns it (releaseImportedImage)
  std::int32_t compressedSize;
};

// Why a picture could not be imported. The importer says nothing itself: each caller words the
// problem its own way (the dialogue in one line, the command line with the details).
enum class ImportProblem {
  kNone,
  kCannotOpen,              // missing, unreadable, or not a regular file
  kNotAPicture,             // neither the letters B M nor the PNG signature; detail: the
                            // OtherFormat its first bytes tell (other_formats.h)
  kUnsupportedBitDepth,     // a bit count no bitmap has; detail: the bit count found
  kTooShort,                // the file ends inside its headers
  kUnsupportedHeader,       // detail: the information header's size
  kUnsupportedCompression,  // detail: the compression field
  kBadDimensions,           // a negative width, or a height that has no positive row count
  kTopDownRle,              // RLE data may not be stored top row first
  kBadPixelOffset,          // detail: the pixel-data offset, inside the headers or past the end
  kTooLarge,                // the picture's size does not fit the 32-bit counts of the format;
                            // detail kClaimBeyondFile: more than the file's data can inflate to
  kMissingPixels,           // the header promises more pixels than the file holds
  kOutOfMemory,             // no heap block for the pixels or the stream
  kCompressionFailed,       // detail: zlib's status
  kNeedsPalette,            // a true-colour or grey picture and no game palette; detail: bits
                            // per pixel
  kColourNotInPalette,      // exact colours asked for; x, y and colour say where and what
  kIndexPastPalette,        // with a game palette, a pixel's index is past the picture's own
                            // palette: x, y the first such pixel, detail its index, colour the
                            // number of entries the picture's palette has
  kPngBadCrc,               // detail: the offset of the chunk whose checksum is wrong
  kPngCut,                  // the file ends inside a chunk or before its end chunk
  kPngBadHeader,            // zero or huge size, a bit depth or colour type PNG does not have
  kPngMissingPalette,       // an indexed PNG without its palette chunk
  kPngBadStructure,         // chunks out of order, of the wrong size, or unknown critical ones
  kPngBadFilter,            // detail: the filter byte found at the start of a row
  kPngShortImageData,       // the image data ends before the last row
  kPngBadImageData,         // the image data is not a deflate stream
  kPngSideChunkTooLarge,    // a text or profile chunk inflates past kPngSideChunkLimit, or all
                            // of them past kPngSideChunksLimit
  kPngUndecodable,          // the decoder refused what the checks let through; detail: its code
};

// What a PNG's compressed side chunks (text, colour profile) may inflate to: each, and all of
// them together. The image data is bounded by its claim; these by nothing else.
constexpr long long kPngSideChunkLimit = 1 << 20;
constexpr long long kPngSideChunksLimit = 8 << 20;

constexpr long long kClaimBeyondFile = 1;

struct ImportOutcome {
  ImportProblem problem = ImportProblem::kNone;
  long long detail = 0;  // what the problem's comment says, 0 otherwise
  // kColourNotInPalette: the first such pixel (0, 0 the top left) and its colour, 0xRRGGBB.
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t colour = 0;
  bool grey = false;  // kNeedsPalette: the picture's pixels are shades of grey
  bool ok() const { return problem == ImportProblem::kNone; }
};

// How pictures meet the game's palette. Without a palette, only indexed pictures are taken,
// and their indices are stored as they are.
struct ImportOptions {
  bool hasPalette = false;
  Palette palette = {};       // the game's colours (colourCount of them)
  bool exactColours = false;  // refuse any colour the palette lacks
  bool dither = false;        // Floyd-Steinberg error diffusion instead of plain nearest colours
  int transparentIndex = -1;  // pixels of alpha 0 become this index; -1: none
  // Where the mapping of a large picture takes threads besides the calling one (and gives them
  // back); none: as many as the processors this process may run on.
  ThreadBudget* threadBudget = nullptr;
};

// What the mapping did to one picture, for the line the command line prints.
struct MappingReport {
  bool mapped = false;  // false: the indices were stored as they were
  std::int64_t pixels = 0;
  std::int64_t changedPixels = 0;      // pixels whose colour is not exactly the one stored
  std::uint32_t largestDistance2 = 0;  // the largest squared RGB distance
  std::int64_t transparentPixels = 0;  // alpha 0, stored as the transparent index
  std::int64_t partlyTransparent = 0;  // alpha between 0 and 255, mapped by colour
  std::int64_t alphaIgnored = 0;       // alpha 0 with no transparent index, mapped by colour
};

// Reads, checks, maps, flips and compresses the picture named fileName (used exactly as typed).
// On failure `image` is left as it was and nothing stays allocated or open. report may be null.
ImportOutcome importPicture(const char* fileName, const ImportOptions& options,
                            ImportedImage& image, MappingReport* report = nullptr);

// The same for a file already open for binary reading (the caller closes it), which lets the
// checks run on pictures held in memory.
ImportOutcome importOpenedPicture(std::FILE* file, const ImportOptions& options,
                                  ImportedImage& image, MappingReport* report = nullptr);

// Without a game palette.
ImportOutcome importBitmap(const char* fileName, ImportedImage& image);
ImportOutcome importOpenedBitmap(std::FILE* file, ImportedImage& image);

// Reverses the order of the rows of a width x height block of bytes, in place.
void flipRows(unsigned char* pixels, std::int32_t width, std::int32_t height);

// The room given to compress2 for pixelCount input bytes: the count grown by one per cent
// (rounded half up) plus 12, which is above zlib's worst case for any count.
std::int64_t outputCapacity(std::int64_t pixelCount);

// Gives the compressed block back to the heap and empties the record.
void releaseImportedImage(ImportedImage& image);
