#include "episode_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "file_open.h"
#include "little_endian.h"

namespace {

constexpr std::int64_t kLargestCount = kLargestPixelCount;

bool seekTo(std::FILE* file, std::int64_t offset) {
  if (offset > std::numeric_limits<long>::max()) return false;
  return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

// The 208 bytes as the writer lays them out (episode_file.cpp); text fields copied whole.
EpisodeHeader parseHeader(const unsigned char (&bytes)[kEpisodeHeaderBytes]) {
  EpisodeHeader header{};
  const unsigned char* at = bytes;
  for (std::int32_t* field :
       {&header.headerSize, &header.listPosition, &header.one, &header.zero}) {
    *field = readSigned32(at);
    at += 4;
  }
  std::memcpy(header.episodeName, at, sizeof header.episodeName);
  at += sizeof header.episodeName;
  std::memcpy(header.startLevel, at, sizeof header.startLevel);
  at += sizeof header.startLevel;
  for (std::int32_t* field : {&header.episodeImageWidth, &header.episodeImageHeight,
                              &header.fixed184, &header.fixed188, &header.lowtitleImageWidth,
                              &header.lowtitleImageHeight, &header.fixed200, &header.fixed204}) {
    *field = readSigned32(at);
    at += 4;
  }
  return header;
}

// width x height as a pixel count, or -1 when no picture of the format can have that size.
std::int64_t pixelsOf(std::int32_t width, std::int32_t height) {
  if (width < 0 || height < 0) return -1;
  std::int64_t count = std::int64_t{width} * height;
  return count > kLargestCount ? -1 : count;
}

bool usualFixedValues(const EpisodeHeader& header) {
  return header.one == 1 && header.zero == 0 && header.fixed184 == 0x00670098 &&
         header.fixed188 == 0x00770860 && header.fixed200 == 0x006BB0CC &&
         header.fixed204 == 0x00706100;
}

HeaderProblem headerProblemOf(const EpisodeHeader& header) {
  if (header.headerSize != kEpisodeHeaderBytes - 4) return HeaderProblem::kNotAnEpisodeFile;
  if (pixelsOf(header.episodeImageWidth, header.episodeImageHeight) < 0) {
    return HeaderProblem::kBadEpisodeSize;
  }
  if (pixelsOf(header.lowtitleImageWidth, header.lowtitleImageHeight) < 0) {
    return HeaderProblem::kBadLowtitleSize;
  }
  if (std::memchr(header.episodeName, 0, sizeof header.episodeName) == nullptr) {
    return HeaderProblem::kNameNotEnded;
  }
  if (std::memchr(header.startLevel, 0, sizeof header.startLevel) == nullptr) {
    return HeaderProblem::kStartLevelNotEnded;
  }
  return HeaderProblem::kNone;
}

// Feeds a block's stream bytes to zlib from the file, a chunk at a time.
struct StreamInput {
  std::FILE* file;
  std::int64_t remaining;
  unsigned char chunk[16384];
};

// False when the file gives fewer bytes than it did when its size was taken.
bool refill(StreamInput& input, z_stream& z) {
  if (z.avail_in > 0 || input.remaining == 0) return true;
  std::size_t wanted =
      static_cast<std::size_t>(std::min<std::int64_t>(input.remaining, sizeof input.chunk));
  if (std::fread(input.chunk, 1, wanted, input.file) != wanted) return false;
  input.remaining -= static_cast<std::int64_t>(wanted);
  z.next_in = input.chunk;
  z.avail_in = static_cast<uInt>(wanted);
  return true;
}

// Inflates the stream into a scratch buffer, counting pixels and stopping as soon as it gives
// more than `limit`: a stream that inflates without end costs time bounded by its own size.
void checkStream(std::FILE* file, std::int64_t limit, PictureBlock& block) {
  block.pixelLimit = limit;
  StreamInput input{file, block.streamSize, {}};
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    block.problem = PictureProblem::kCorrupt;
    block.zlibStatus = Z_MEM_ERROR;
    return;
  }
  unsigned char scratch[65536];
  int status = Z_OK;
  while (true) {
    if (!refill(input, z)) {
      block.problem = PictureProblem::kCutShort;
      break;
    }
    // Room for one pixel past the limit at most: the stream is stopped the moment it overruns.
    const std::size_t room = static_cast<std::size_t>(
        std::min<std::int64_t>(sizeof scratch, limit - block.pixelCount + 1));
    z.next_out = scratch;
    z.avail_out = static_cast<uInt>(room);
    status = inflate(&z, Z_NO_FLUSH);
    block.pixelCount += static_cast<std::int64_t>(room - z.avail_out);
    if (block.pixelCount > limit) {
      block.problem = PictureProblem::kTooManyPixels;
      break;
    }
    if (status == Z_STREAM_END) break;
    if (status == Z_BUF_ERROR && z.avail_in == 0 && input.remaining == 0) {
      block.problem = PictureProblem::kCutShort;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      block.problem = PictureProblem::kCorrupt;
      block.zlibStatus = status;
      block.zlibMessage = z.msg;
      break;
    }
  }
  if (block.problem == PictureProblem::kNone) {
    if (block.expectedPixels >= 0 && block.pixelCount < block.expectedPixels) {
      block.problem = PictureProblem::kTooFewPixels;
    } else if (z.avail_in > 0 || input.remaining > 0) {
      block.problem = PictureProblem::kLeftoverBytes;
    }
  }
  inflateEnd(&z);
}

// What a block's stream may give at most, or the problem that rules it out before inflating.
PictureProblem claimProblem(const PictureBlock& block, std::int64_t largestPicture) {
  if (block.expectedPixels > largestPicture) return PictureProblem::kClaimPastLargest;
  if (block.expectedPixels > inflateBound(block.streamSize)) {
    return PictureProblem::kClaimPastStream;
  }
  return PictureProblem::kNone;
}

std::int64_t inflateLimit(const PictureBlock& block, std::int64_t largestPicture) {
  if (block.expectedPixels >= 0) return block.expectedPixels;
  return std::min(largestPicture, inflateBound(block.streamSize));
}

void markRestNotReached(EpisodeContents& contents, int from) {
  for (int i = from; i < 3; ++i) contents.pictures[i].problem = PictureProblem::kNotReached;
}

void readBlocks(std::FILE* file, EpisodeContents& contents, std::int64_t titlePixels,
                std::int64_t largestPicture) {
  const EpisodeHeader& header = contents.header;
  const std::int64_t expected[3] = {
      pixelsOf(header.episodeImageWidth, header.episodeImageHeight), titlePixels,
      pixelsOf(header.lowtitleImageWidth, header.lowtitleImageHeight)};
  std::int64_t at = kEpisodeHeaderBytes;
  for (int i = 0; i < 3; ++i) {
    PictureBlock& block = contents.pictures[i];
    block.offset = at;
    block.expectedPixels = expected[i];
    unsigned char size[4];
    if (at + 4 > contents.fileSize || !seekTo(file, at) ||
        std::fread(size, 1, sizeof size, file) != sizeof size) {
      block.problem = PictureProblem::kSizeMissing;
      return markRestNotReached(contents, i + 1);
    }
    block.streamSize = readSigned32(size);
    if (block.streamSize < 0) {
      block.problem = PictureProblem::kNegativeSize;
      return markRestNotReached(contents, i + 1);
    }
    if (at + 4 + block.streamSize > contents.fileSize) {
      block.problem = PictureProblem::kPastEnd;
      return markRestNotReached(contents, i + 1);
    }
    block.problem = claimProblem(block, largestPicture);
    if (block.problem == PictureProblem::kNone) {
      checkStream(file, inflateLimit(block, largestPicture), block);
    }
    at += 4 + block.streamSize;
  }
  contents.bytesAfterLastPicture = contents.fileSize - at;
}

}  // namespace

std::int64_t largestStoredPixels() {
  // The import's room for a stream of n pixels grows with n; the largest n whose room still fits
  // a 32-bit count, found from the room itself so that the two never disagree.
  static const std::int64_t largest = [] {
    std::int64_t count = kLargestCount / 101 * 100;
    while (outputCapacity(count + 1) <= kLargestCount) ++count;
    while (outputCapacity(count) > kLargestCount) --count;
    return count;
  }();
  return largest;
}

std::int64_t inflateBound(std::int64_t streamSize) {
  return (streamSize + 1) * kLargestInflateRatio;
}

EpisodeContents readEpisode(std::FILE* file, std::int64_t titlePixels) {
  return readEpisode(file, titlePixels, largestStoredPixels());
}

EpisodeContents readEpisode(std::FILE* file, std::int64_t titlePixels,
                            std::int64_t largestPicture) {
  EpisodeContents contents;
  contents.fileSize = fileSize(file);
  unsigned char bytes[kEpisodeHeaderBytes];
  if (contents.fileSize < kEpisodeHeaderBytes || !seekTo(file, 0) ||
      std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
    contents.headerProblem = HeaderProblem::kTooShort;
    markRestNotReached(contents, 0);
    return contents;
  }
  contents.headerRead = true;
  contents.header = parseHeader(bytes);
  contents.usualFixedValues = usualFixedValues(contents.header);
  contents.headerProblem = headerProblemOf(contents.header);
  if (contents.headerProblem == HeaderProblem::kNotAnEpisodeFile) {
    markRestNotReached(contents, 0);
    return contents;
  }
  readBlocks(file, contents, titlePixels, largestPicture);
  return contents;
}

bool readEpisodeFile(const char* path, EpisodeContents& contents, std::int64_t titlePixels) {
  FileHandle file(openForReading(path));
  if (!file) return false;
  contents = readEpisode(file.get(), titlePixels);
  return true;
}

bool episodeIntact(const EpisodeContents& contents) {
  if (!contents.headerRead || contents.headerProblem != HeaderProblem::kNone) return false;
  for (const PictureBlock& block : contents.pictures) {
    if (block.problem != PictureProblem::kNone) return false;
  }
  return contents.bytesAfterLastPicture == 0;
}

PixelBlock inflatePicture(std::FILE* file, const PictureBlock& block) {
  if (block.problem != PictureProblem::kNone || block.pixelCount > kLargestCount) return nullptr;
  const std::size_t count = static_cast<std::size_t>(block.pixelCount);
  PixelBlock pixels(static_cast<unsigned char*>(allocateBlock(std::max<std::size_t>(count, 1))));
  if (!pixels || !seekTo(file, block.offset + 4)) return nullptr;
  StreamInput input{file, block.streamSize, {}};
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return nullptr;
  z.next_out = pixels.get();
  z.avail_out = static_cast<uInt>(count);
  int status = Z_OK;
  while (status == Z_OK && refill(input, z)) {
    status = inflate(&z, Z_NO_FLUSH);
    // Room for the expected pixels only: a stream that wants more has changed since the check.
    if (status == Z_BUF_ERROR && z.avail_out == 0) break;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END || z.avail_out != 0) return nullptr;
  return pixels;
}

bool streamPicture(std::FILE* file, const PictureBlock& block, const PixelSink& sink) {
  if (block.problem != PictureProblem::kNone || !seekTo(file, block.offset + 4)) return false;
  constexpr std::size_t kChunk = 64 * 1024;
  unsigned char chunk[kChunk];
  StreamInput input{file, block.streamSize, {}};
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  std::int64_t given = 0;
  int status = Z_OK;
  while (status == Z_OK && refill(input, z)) {
    do {
      z.next_out = chunk;
      z.avail_out = kChunk;
      status = inflate(&z, Z_NO_FLUSH);
      // The block filled just as the input ran out: the rest of the stream is still in the file.
      if (status == Z_BUF_ERROR && z.avail_in == 0 && input.remaining > 0) status = Z_OK;
      const std::size_t got = kChunk - z.avail_out;
      given += static_cast<std::int64_t>(got);
      // Never more than the check counted: a stream that gives more has changed since.
      if (given > block.pixelCount) status = Z_DATA_ERROR;
      if (got > 0 && status != Z_DATA_ERROR) sink(chunk, got);
    } while (status == Z_OK && z.avail_out == 0);
  }
  inflateEnd(&z);
  return status == Z_STREAM_END && given == block.pixelCount;
}

std::vector<unsigned char> storedStream(std::FILE* file, const PictureBlock& block) {
  std::vector<unsigned char> stream;
  if (block.streamSize <= 0 || !seekTo(file, block.offset + 4)) return stream;
  try {
    stream.resize(static_cast<std::size_t>(block.streamSize));
  } catch (const std::bad_alloc&) {
    return {};
  }
  if (std::fread(stream.data(), 1, stream.size(), file) != stream.size()) stream.clear();
  return stream;
}
