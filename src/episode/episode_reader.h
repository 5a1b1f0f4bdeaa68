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

// Deflate never expands a byte to more than 1032 bytes (a match of 258 bytes costs two bits at
// best), so a stream of n bytes that must hold more than (n + 1) x 1032 pixels is damaged,
// whatever its header says, and one that holds fewer is never inflated further than that.
constexpr std::int64_t kLargestInflateRatio = 1032;
// The most pixels the format's 32-bit counts can give a picture.
constexpr std::int64_t kLargestPixelCount = 2147483647;

// The most pixels of a picture divovod can store: the import keeps room for a stream of the
// picture's pixels grown by zlib's worst case (outputCapacity), and that room is a 32-bit count.
// A stream asked for more than this is damaged: no picture divovod writes holds more.
std::int64_t largestStoredPixels();

// The most a stream of streamSize bytes can inflate to: (streamSize + 1) x 1032.
std::int64_t inflateBound(std::int64_t streamSize);

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
  kNotReached,        // an earlier block's size made this block's place unknown
  kSizeMissing,       // the file ends inside this block's size field
  kNegativeSize,      // the stored stream size is below zero
  kPastEnd,           // the stream size runs past the end of the file
  kCorrupt,           // zlib refuses the data or its checksum (see zlibMessage)
  kCutShort,          // the block's bytes end before the stream does
  kTooManyPixels,     // the stream inflates past the pixels it should hold, or past pixelLimit
  kTooFewPixels,      // the stream ends complete with fewer pixels than it should hold
  kClaimPastStream,   // it should hold more pixels than its stream could ever give (more than
                      // inflateBound of its size); nothing is inflated
  kClaimPastLargest,  // it should hold more than largestStoredPixels(); nothing is inflated
  kLeftoverBytes,     // the block holds bytes after the stream's end
};

enum class EpisodePicture { kEpisode = 0, kTitle = 1, kLowtitle = 2 };

struct PictureBlock {
  std::int64_t offset = 0;          // where the block's size field starts
  std::int32_t streamSize = 0;      // as stored; meaningful once the size field was read
  std::int64_t pixelCount = 0;      // bytes the stream gave before it ended or was stopped
  std::int64_t expectedPixels = 0;  // what it must give; -1 when only the inflate bound is known
  // The most the check let it give: the expected pixels, else inflateBound of the stream (or of
  // the largest picture asked for); the stream is stopped one pixel past it, so that reading a
  // file costs no more inflating than its own size allows.
  std::int64_t pixelLimit = 0;
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
// nowhere); then only the inflate bound limits it. largestPicture: the most pixels any picture
// may hold (tests give less, to reach the bound with small files).
EpisodeContents readEpisode(std::FILE* file, std::int64_t titlePixels = -1);
EpisodeContents readEpisode(std::FILE* file, std::int64_t titlePixels, std::int64_t largestPicture);

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
