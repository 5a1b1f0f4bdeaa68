#include "episode_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "test_support.h"
#include "title_size.h"

namespace {

Bytes compressed(const Bytes& pixels) {
  uLongf length = compressBound(static_cast<uLong>(pixels.size()));
  Bytes stream(length);
  EXPECT_EQ(compress2(stream.data(), &length, pixels.data(), static_cast<uLong>(pixels.size()), 9),
            Z_OK);
  stream.resize(length);
  return stream;
}

Bytes pattern(std::size_t count, int seed) {
  Bytes pixels(count);
  for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<unsigned char>(i * 7 + seed);
  return pixels;
}

// An episode file as the writer lays it out, with pictures of these sizes; streams may be
// replaced to damage a block.
struct EpisodeBytes {
  std::int32_t sizes[3][2] = {{7, 5}, {6, 3}, {9, 2}};
  Bytes pixels[3];
  Bytes streams[3];

  EpisodeBytes() {
    for (int i = 0; i < 3; ++i) {
      pixels[i] = pattern(static_cast<std::size_t>(sizes[i][0] * sizes[i][1]), i);
      streams[i] = compressed(pixels[i]);
    }
  }

  Bytes file() const {
    EpisodeAnswers answers{};
    answers.listPosition = -3;
    std::strcpy(answers.episodeName, "Name");
    std::strcpy(answers.startLevel, "start.lev");
    ImportedImage episode{sizes[0][0], sizes[0][1], nullptr, 0};
    ImportedImage lowtitle{sizes[2][0], sizes[2][1], nullptr, 0};
    unsigned char header[kEpisodeHeaderBytes];
    serializeEpisodeHeader(makeEpisodeHeader(answers, episode, lowtitle), header);
    Bytes bytes(header, header + sizeof header);
    for (const Bytes& stream : streams) {
      Bytes size(4);
      putLe32(size, 0, static_cast<std::uint32_t>(stream.size()));
      bytes.insert(bytes.end(), size.begin(), size.end());
      bytes.insert(bytes.end(), stream.begin(), stream.end());
    }
    return bytes;
  }
};

struct MemoryFile {
  explicit MemoryFile(const Bytes& content) : bytes(content) {
    bytes.push_back(0);  // fmemopen refuses an empty buffer on some C libraries
    file = fmemopen(bytes.data(), content.size(), "rb");
  }
  ~MemoryFile() {
    if (file) std::fclose(file);
  }
  Bytes bytes;
  std::FILE* file;
};

EpisodeContents readBytes(const Bytes& bytes, std::int64_t titlePixels = -1) {
  MemoryFile memory(bytes);
  if (memory.file == nullptr) return EpisodeContents{};  // an empty file: fmemopen may refuse
  return readEpisode(memory.file, titlePixels);
}

std::int64_t allocated = 0;
void* countingAllocate(std::size_t size) {
  allocated += static_cast<std::int64_t>(size);
  return std::malloc(size);
}

struct CountAllocations {
  CountAllocations() {
    allocated = 0;
    allocateBlock = &countingAllocate;
  }
  ~CountAllocations() { allocateBlock = &allocateSystemBlock; }
};

TEST(ReadEpisode, IntactFileGivesItsFieldsAndExactPixels) {
  EpisodeBytes episode;
  const Bytes bytes = episode.file();
  ScratchDirectory directory;
  writeFile(directory.path("e.z4k"), bytes);
  EpisodeContents contents;
  ASSERT_TRUE(readEpisodeFile(directory.path("e.z4k").c_str(), contents, 18));
  ASSERT_TRUE(episodeIntact(contents));
  EXPECT_EQ(contents.fileSize, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(contents.header.listPosition, -3);
  EXPECT_STREQ(contents.header.episodeName, "Name");
  EXPECT_STREQ(contents.header.startLevel, "start.lev");
  EXPECT_TRUE(contents.usualFixedValues);
  std::int64_t offset = kEpisodeHeaderBytes;
  MemoryFile memory(bytes);
  for (int i = 0; i < 3; ++i) {
    const PictureBlock& block = contents.pictures[i];
    EXPECT_EQ(block.offset, offset);
    EXPECT_EQ(block.streamSize, static_cast<std::int32_t>(episode.streams[i].size()));
    EXPECT_EQ(block.pixelCount, static_cast<std::int64_t>(episode.pixels[i].size()));
    offset += 4 + block.streamSize;
    CountAllocations counting;
    PixelBlock pixels = inflatePicture(memory.file, block);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(allocated, block.pixelCount) << "exactly the picture, nothing more";
    EXPECT_EQ(Bytes(pixels.get(), pixels.get() + block.pixelCount), episode.pixels[i]);
  }
  EXPECT_EQ(contents.bytesAfterLastPicture, 0);
}

TEST(ReadEpisode, StreamedPixelsAreTheInflatedOnesAndAChangedFileIsNoticed) {
  EpisodeBytes episode;
  episode.sizes[0][0] = 1000;  // an episode picture of several 64 KB blocks
  episode.sizes[0][1] = 150;
  episode.pixels[0] = pattern(150000, 7);
  episode.streams[0] = compressed(episode.pixels[0]);
  const Bytes bytes = episode.file();
  const EpisodeContents contents = readBytes(bytes);
  ASSERT_TRUE(episodeIntact(contents));
  MemoryFile memory(bytes);
  for (int i = 0; i < 3; ++i) {
    Bytes streamed;
    std::size_t largest = 0;
    EXPECT_TRUE(streamPicture(memory.file, contents.pictures[i],
                              [&](const unsigned char* part, std::size_t count) {
                                streamed.insert(streamed.end(), part, part + count);
                                largest = std::max(largest, count);
                              }));
    EXPECT_EQ(streamed, episode.pixels[i]);
    EXPECT_LE(largest, std::size_t{64 * 1024});
  }
  // The same file, changed since it was checked: a stream of other pixels, one too many or few.
  for (const std::size_t count : {std::size_t{150001}, std::size_t{149999}}) {
    Bytes other = bytes;
    const Bytes longer = compressed(pattern(count, 7));
    Bytes changed(other.begin(), other.begin() + kEpisodeHeaderBytes);
    Bytes size(4);
    putLe32(size, 0, static_cast<std::uint32_t>(longer.size()));
    changed.insert(changed.end(), size.begin(), size.end());
    changed.insert(changed.end(), longer.begin(), longer.end());
    MemoryFile changedFile(changed);
    PictureBlock block = contents.pictures[0];
    block.streamSize = static_cast<std::int32_t>(longer.size());
    std::size_t given = 0;
    EXPECT_FALSE(streamPicture(changedFile.file, block, [&](const unsigned char*, std::size_t n) {
      given += n;
    })) << count;
    EXPECT_LE(given, std::size_t{150000}) << "never more than the check counted";
  }
}

// Pixels are streamed out in 64 KB blocks from 16 KB of the stream at a time. Where a block fills
// just as those 16 KB run out, the rest of the stream is still to be read: here the first 65 536
// pixels end, flushed to a byte boundary, exactly at byte 16 384 of the stream.
TEST(ReadEpisode, ABlockThatFillsAsTheInputRunsOutIsNotTheEnd) {
  constexpr std::size_t kFirst = 65536;
  constexpr std::size_t kStreamPiece = 16384;
  EpisodeBytes episode;
  episode.sizes[0][0] = 256;
  episode.sizes[0][1] = 257;
  Bytes& pixels = episode.pixels[0];
  Bytes& stream = episode.streams[0];
  // Noise of a length that makes the flushed stream come out at exactly 16 384 bytes, then a run.
  bool found = false;
  for (std::size_t noise = kStreamPiece - 600; noise < kStreamPiece && !found; ++noise) {
    pixels = Bytes(256 * 257, 9);
    std::uint32_t state = 5;
    for (std::size_t i = 0; i < noise; ++i) {
      state = state * 1103515245u + 12345u;
      pixels[i] = static_cast<unsigned char>(state >> 24);
    }
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 9), Z_OK);
    stream = Bytes(compressBound(pixels.size()) + 64);
    z.next_in = pixels.data();
    z.avail_in = kFirst;
    z.next_out = stream.data();
    z.avail_out = static_cast<uInt>(stream.size());
    ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    stream.resize(z.total_out);
    found = stream.size() == kStreamPiece;
    if (found) {
      Bytes rest(compressBound(pixels.size()));
      z.next_in = pixels.data() + kFirst;
      z.avail_in = static_cast<uInt>(pixels.size() - kFirst);
      z.next_out = rest.data();
      z.avail_out = static_cast<uInt>(rest.size());
      ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      stream.insert(stream.end(), rest.begin(), rest.begin() + (z.total_out - kStreamPiece));
    }
    deflateEnd(&z);
  }
  ASSERT_TRUE(found) << "no noise length flushes at 16 384 bytes";
  const Bytes bytes = episode.file();
  const EpisodeContents contents = readBytes(bytes);
  ASSERT_TRUE(episodeIntact(contents));
  MemoryFile memory(bytes);
  Bytes streamed;
  EXPECT_TRUE(streamPicture(memory.file, contents.pictures[0],
                            [&](const unsigned char* part, std::size_t count) {
                              streamed.insert(streamed.end(), part, part + count);
                            }));
  EXPECT_EQ(streamed, pixels);
}

TEST(ReadEpisode, MissingFileIsNotOpened) {
  EpisodeContents contents;
  contents.fileSize = 99;
  EXPECT_FALSE(readEpisodeFile("/nonexistent/e.z4k", contents));
  EXPECT_EQ(contents.fileSize, 99);
}

TEST(ReadEpisode, EveryTruncationIsDamageAndNeedsNoAllocation) {
  const Bytes bytes = EpisodeBytes().file();
  CountAllocations counting;
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EpisodeContents contents = readBytes(Bytes(bytes.begin(), bytes.begin() + length));
    EXPECT_FALSE(episodeIntact(contents)) << "cut to " << length << " bytes";
  }
  EXPECT_EQ(allocated, 0);
}

Bytes withLe32(Bytes bytes, std::size_t at, std::int64_t value) {
  putLe32(bytes, at, static_cast<std::uint32_t>(value));
  return bytes;
}

TEST(ReadEpisode, DamageFoundWhereItIs) {
  EpisodeBytes episode;
  const Bytes good = episode.file();
  const std::size_t titleAt = kEpisodeHeaderBytes + 4 + episode.streams[0].size();
  const std::size_t lowtitleAt = titleAt + 4 + episode.streams[1].size();
  Bytes badCheck = good;
  badCheck[lowtitleAt - 1] ^= 1;  // last byte of the title's Adler-32
  Bytes noEnd = good;
  std::memset(&noEnd[16], 'n', 128);
  Bytes leftover =
      withLe32(good, lowtitleAt, static_cast<std::int64_t>(episode.streams[2].size() + 2));
  leftover.push_back(0);
  leftover.push_back(0);

  struct Case {
    const char* name;
    Bytes bytes;
    HeaderProblem header;
    PictureProblem pictures[3];
    std::int64_t after;
  } cases[] = {
      {"leading field",
       withLe32(good, 0, 203),
       HeaderProblem::kNotAnEpisodeFile,
       {PictureProblem::kNotReached, PictureProblem::kNotReached, PictureProblem::kNotReached},
       0},
      {"negative height",
       withLe32(good, 180, -5),
       HeaderProblem::kBadEpisodeSize,
       {PictureProblem::kNone, PictureProblem::kNone, PictureProblem::kNone},
       0},
      {"width x height past 32 bits",
       withLe32(withLe32(good, 192, 65536), 196, 65536),
       HeaderProblem::kBadLowtitleSize,
       {PictureProblem::kNone, PictureProblem::kNone, PictureProblem::kNone},
       0},
      {"name with no zero",
       noEnd,
       HeaderProblem::kNameNotEnded,
       {PictureProblem::kNone, PictureProblem::kNone, PictureProblem::kNone},
       0},
      {"negative size",
       withLe32(good, titleAt, -1),
       HeaderProblem::kNone,
       {PictureProblem::kNone, PictureProblem::kNegativeSize, PictureProblem::kNotReached},
       0},
      {"size past the end",
       withLe32(good, titleAt, 0x7FFFFFFF),
       HeaderProblem::kNone,
       {PictureProblem::kNone, PictureProblem::kPastEnd, PictureProblem::kNotReached},
       0},
      {"checksum",
       badCheck,
       HeaderProblem::kNone,
       {PictureProblem::kNone, PictureProblem::kCorrupt, PictureProblem::kNone},
       0},
      {"header says fewer pixels",
       withLe32(good, 176, 6),
       HeaderProblem::kNone,
       {PictureProblem::kTooManyPixels, PictureProblem::kNone, PictureProblem::kNone},
       0},
      {"header says more pixels",
       withLe32(good, 196, 3),
       HeaderProblem::kNone,
       {PictureProblem::kNone, PictureProblem::kNone, PictureProblem::kTooFewPixels},
       0},
      {"bytes after the stream",
       leftover,
       HeaderProblem::kNone,
       {PictureProblem::kNone, PictureProblem::kNone, PictureProblem::kLeftoverBytes},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EpisodeContents contents = readBytes(c.bytes, 18);
    EXPECT_FALSE(episodeIntact(contents));
    EXPECT_EQ(contents.headerProblem, c.header);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(contents.pictures[i].problem, c.pictures[i]) << i;
    EXPECT_EQ(contents.bytesAfterLastPicture, c.after);
  }
  Bytes trailing = good;
  trailing.push_back(7);
  EpisodeContents contents = readBytes(trailing, 18);
  EXPECT_EQ(contents.bytesAfterLastPicture, 1);
  EXPECT_FALSE(episodeIntact(contents));
}

TEST(ReadEpisode, TitleHeldToTheGivenSizeOrToTheInflateBound) {
  EpisodeBytes episode;
  episode.pixels[1] = Bytes(200000, 9);  // compresses about 1000 to 1
  episode.streams[1] = compressed(episode.pixels[1]);
  const Bytes bytes = episode.file();
  EXPECT_EQ(readBytes(bytes, 200000).pictures[1].problem, PictureProblem::kNone);
  EXPECT_EQ(readBytes(bytes, 199999).pictures[1].problem, PictureProblem::kTooManyPixels);
  EXPECT_EQ(readBytes(bytes, 200001).pictures[1].problem, PictureProblem::kTooFewPixels);
  EpisodeContents unknown = readBytes(bytes);
  EXPECT_EQ(unknown.pictures[1].problem, PictureProblem::kNone);
  EXPECT_EQ(unknown.pictures[1].pixelCount, 200000);
  EXPECT_EQ(unknown.pictures[1].expectedPixels, -1);
  EXPECT_LE(unknown.pictures[1].pixelCount, unknown.pictures[1].streamSize * kLargestInflateRatio);
}

TEST(ReadEpisode, StreamWithNoEndIsCutShort) {
  EpisodeBytes episode;
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 9), Z_OK);
  Bytes unfinished(4096);
  z.next_in = episode.pixels[0].data();
  z.avail_in = static_cast<uInt>(episode.pixels[0].size());
  z.next_out = unfinished.data();
  z.avail_out = static_cast<uInt>(unfinished.size());
  ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);  // all the pixels, but never the final block
  unfinished.resize(unfinished.size() - z.avail_out);
  deflateEnd(&z);
  episode.streams[0] = unfinished;
  EXPECT_EQ(readBytes(episode.file()).pictures[0].problem, PictureProblem::kCutShort);
}

// A zlib stream of `size` bytes that never ends: one zero, then matches of 258 zeros each 13 bits
// (fixed codes), so that every byte inflates to about 158 and the stream asks for more at its end.
Bytes endlessZeros(std::size_t size) {
  Bytes stream = {0x78, 0x01};
  std::uint32_t bits = 0;
  int held = 0;
  const auto put = [&](std::uint32_t code, int length) {  // a Huffman code, its top bit first
    for (int i = length - 1; i >= 0; --i) {
      bits |= ((code >> i) & 1u) << held;
      if (++held == 8) {
        stream.push_back(static_cast<unsigned char>(bits));
        bits = 0;
        held = 0;
      }
    }
  };
  put(0b110, 3);       // the last block (1), of fixed codes (type 1, its low bit first)
  put(0b00110000, 8);  // the literal 0
  while (stream.size() < size) {
    put(0b11000101, 8);  // length 258
    put(0, 5);           // distance 1
  }
  stream.resize(size);
  return stream;
}

TEST(ReadEpisode, EveryStreamIsStoppedAtItsBoundOrNotInflatedAtAll) {
  const Bytes endless = endlessZeros(64 * 1024);  // about 10 million zeros before it runs out
  constexpr std::int64_t kSmallLargest = 1 << 20;
  struct Case {
    const char* name;
    std::int32_t episodeSize[2];
    const Bytes* title;
    std::int64_t titlePixels;
    std::int64_t largest;
    PictureProblem episode;
    PictureProblem titleProblem;
    std::int64_t titleInflated;  // -1: not checked
  };
  const EpisodeBytes plain;
  const Case cases[] = {
      {"title of no size past the largest picture",
       {7, 5},
       &endless,
       -1,
       kSmallLargest,
       PictureProblem::kNone,
       PictureProblem::kTooManyPixels,
       kSmallLargest + 1},
      {"title of a given size stopped at it",
       {7, 5},
       &endless,
       5000,
       kSmallLargest,
       PictureProblem::kNone,
       PictureProblem::kTooManyPixels,
       5001},
      {"title of a size past the largest picture",
       {7, 5},
       &endless,
       kSmallLargest + 1,
       kSmallLargest,
       PictureProblem::kNone,
       PictureProblem::kClaimPastLargest,
       0},
      {"title of a size its stream cannot hold",
       {7, 5},
       &endless,
       inflateBound(static_cast<std::int64_t>(endless.size())) + 1,
       kLargestPixelCount,
       PictureProblem::kNone,
       PictureProblem::kClaimPastStream,
       0},
      {"title within both bounds inflated to its end",
       {7, 5},
       &endless,
       -1,
       largestStoredPixels(),
       PictureProblem::kNone,
       PictureProblem::kCutShort,
       -1},
      {"episode claim past its stream",
       {40000, 50000},
       &plain.streams[1],
       18,
       kLargestPixelCount,
       PictureProblem::kClaimPastStream,
       PictureProblem::kNone,
       18},
      {"episode claim past the largest picture",
       {7, 5},
       &plain.streams[1],
       18,
       34,
       PictureProblem::kClaimPastLargest,
       PictureProblem::kNone,
       18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EpisodeBytes episode;
    episode.sizes[0][0] = c.episodeSize[0];
    episode.sizes[0][1] = c.episodeSize[1];
    episode.streams[1] = *c.title;
    MemoryFile memory(episode.file());
    ASSERT_NE(memory.file, nullptr);
    const EpisodeContents contents = readEpisode(memory.file, c.titlePixels, c.largest);
    EXPECT_EQ(contents.pictures[0].problem, c.episode);
    if (c.episode != PictureProblem::kNone) {
      EXPECT_EQ(contents.pictures[0].pixelCount, 0);
    }
    EXPECT_EQ(contents.pictures[1].problem, c.titleProblem);
    if (c.titleInflated >= 0) {
      EXPECT_EQ(contents.pictures[1].pixelCount, c.titleInflated);
    }
    EXPECT_LE(contents.pictures[1].pixelCount, inflateBound(contents.pictures[1].streamSize));
    EXPECT_EQ(contents.pictures[2].problem, PictureProblem::kNone) << "read on after the title";
    EXPECT_FALSE(episodeIntact(contents));
  }
}

TEST(ReadEpisode, TheLargestPictureIsTheImportsLargest) {
  // The import keeps room for a stream as a 32-bit count: one pixel more would not fit.
  EXPECT_LE(outputCapacity(largestStoredPixels()), kLargestPixelCount);
  EXPECT_GT(outputCapacity(largestStoredPixels() + 1), kLargestPixelCount);
}

TEST(TitleSize, GuessedFromTheGivenSizeElseAStoredSizeOfTheSameCount) {
  struct Case {
    const char* name;
    std::int64_t titlePixels;
    std::int32_t given[2];
    TitleSizeSource source;
    std::int32_t width, height;
  };
  // The episode is 12 x 5 and the lowtitle 6 x 4 (24 pixels) in every case.
  const Case cases[] = {
      {"given, of the right count", 60, {20, 3}, TitleSizeSource::kGiven, 20, 3},
      {"given, before a stored size of that count", 60, {6, 10}, TitleSizeSource::kGiven, 6, 10},
      {"given, of the wrong count", 60, {10, 5}, TitleSizeSource::kGivenMismatch, 10, 5},
      {"given 0 x 0 for a title of pixels", 60, {0, 0}, TitleSizeSource::kGivenMismatch, 0, 0},
      {"the episode's count", 60, {-1, -1}, TitleSizeSource::kEpisodeSize, 12, 5},
      {"the lowtitle's count", 24, {-1, -1}, TitleSizeSource::kLowtitleSize, 6, 4},
      {"neither count", 25, {-1, -1}, TitleSizeSource::kUnknown, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EpisodeContents contents;
    contents.header.episodeImageWidth = 12;
    contents.header.episodeImageHeight = 5;
    contents.header.lowtitleImageWidth = 6;
    contents.header.lowtitleImageHeight = 4;
    contents.pictures[1].pixelCount = c.titlePixels;
    const TitleSize size = guessTitleSize(contents, c.given[0], c.given[1]);
    EXPECT_EQ(size.source, c.source);
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);
    const bool known =
        c.source != TitleSizeSource::kGivenMismatch && c.source != TitleSizeSource::kUnknown;
    EXPECT_EQ(titleSizeKnown(size), known);
  }
}

}  // namespace
