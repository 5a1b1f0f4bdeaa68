// Reading an episode file back and checking it: the header's fields, and for each picture block
// whether its stream inflates completely, with a correct checksum, to the pixels it should hold.
// Files may be damaged or hostile, so every size is checked against the file before it is used
// and nothing is allocated that the file's own bytes cannot back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "allocation.h"
#include "episode_file.h"

// zlib never expands a byte of deflate data to more than about 1032 bytes, so a stream of n bytes
// that claims more than n x 1032 pixels is damaged, whatever its header says.
constexpr std::int64_t kLargestInflateRatio = 1032;
// The most pixels a picture may hold: its width and height are 32-bit counts.
constexpr std::int64_t kLargestPixelCount = 2147483647;

enum class HeaderProblem {
  kNone,
  kTooShort,           // the file ends inside the 208-byte header
  kNotAnEpisodeFile,   // the leading field is not 204
  kBadEpisodeSize,     // negative, or width x height past the 32-bit counts of the format
  kBadLowtitleSize,    // the same for the lowtitle image
  kNameNotEnded,       // the name field holds no zero byte
  kStartLevelNotEnded  // the start-level field holds no zero byte
};

enum class PictureProblem {
  kNone,
  kNotReached,     // an earlier block's size made this block's place unknown
  kSizeMissing,    // the file ends inside this block's size field
  kNegativeSize,   // the stored stream size is below zero
  kPastEnd,        // the stream size runs past the end of the file
  kCorrupt,        // zlib refuses the data or its checksum (see zlibMessage)
  kCutShort,       // the block's bytes end before the stream does
  kTooManyPixels,  // the stream inflates past the pixels it should hold
  kTooFewPixels,   // the stream ends complete with fewer pixels than it should hold
  kLeftoverBytes,  // the block holds bytes after the stream's end
};

enum class EpisodePicture { kEpisode = 0, kTitle = 1, kLowtitle = 2 };

struct PictureBlock {
  std::int64_t offset = 0;          // where the block's size field starts
  std::int32_t streamSize = 0;      // as stored; meaningful once the size field was read
  std::int64_t pixelCount = 0;      // bytes the stream gave before it ended or was stopped
  std::int64_t expectedPixels = 0;  // what it must give; -1 when only the inflate bound is known
  PictureProblem problem = PictureProblem::kNone;
  int zlibStatus = 0;                 // zlib's status for kCorrupt (Z_MEM_ERROR: no inflater)
  const char* zlibMessage = nullptr;  // zlib's own words for kCorrupt, when it has some
};

struct EpisodeContents {
  std::int64_t fileSize = 0;
  bool headerRead = false;  // the whole 208-byte header was there
  EpisodeHeader header{};
  HeaderProblem headerProblem = HeaderProblem::kNone;
  bool usualFixedValues = false;  // offsets 8, 12, 184, 188, 200 and 204 hold the usual values
  PictureBlock pictures[3];
  std::int64_t bytesAfterLastPicture = 0;
};

// A picture's pixels, top row first; from the heap through allocateBlock.
struct PixelReleaser {
  void operator()(unsigned char* block) const { releaseBlock(block); }
};
using PixelBlock = std::unique_ptr<unsigned char, PixelReleaser>;

// titlePixels: how many pixels the title must hold, or -1 when unknown (its size is stored
// nowhere); then only the inflate bound limits it.
EpisodeContents readEpisode(std::FILE* file, std::int64_t titlePixels = -1);

// The same for a file named by its path; false (contents untouched) when it cannot be opened.
bool readEpisodeFile(const char* path, EpisodeContents& contents, std::int64_t titlePixels = -1);

// Intact: the header is whole and sane, all three streams are whole and right, and nothing
// follows the last one.
bool episodeIntact(const EpisodeContents& contents);

// Inflates one picture of a file that readEpisode found intact into a block of exactly its pixel
// count. Null when the file changed since or memory ran out.
PixelBlock inflatePicture(std::FILE* file, const PictureBlock& block);

// The same pixels handed on in order, a block of at most 64 KB at a time, so that a reader that
// keeps only some of them needs no memory for the whole picture. False when the file changed.
using PixelSink = std::function<void(const unsigned char* pixels, std::size_t count)>;
bool streamPicture(std::FILE* file, const PictureBlock& block, const PixelSink& sink);

// The picture's stream as stored, byte for byte, for a file that readEpisode found intact (an
// edit copies the pictures it does not change). Empty when the file changed since or memory ran
// out; a stream of 0 bytes is not stored intact.
std::vector<unsigned char> storedStream(std::FILE* file, const PictureBlock& block);
