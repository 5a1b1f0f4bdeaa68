// The checks' inflaters, zlib's and (in builds that have it) ISA-L's, held to one table: each
// stream given in the pieces a PNG's chunks could cut it into, with the verdict and the bytes
// each inflater must give.
#include "png_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// zlib's deflate with the window and level given; a dictionary, when given, primes the window
// of a raw stream that is then wrapped by hand, without telling the reader about it.
Bytes deflated(const Bytes& data, int level, int windowBits, const Bytes& dictionary = {}) {
  z_stream stream{};
  const bool wrapByHand = !dictionary.empty();
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, wrapByHand ? -windowBits : windowBits, 8,
                         Z_DEFAULT_STRATEGY),
            Z_OK);
  if (wrapByHand) {
    deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size()));
  }
  Bytes out(deflateBound(&stream, data.size()) + 16);
  stream.next_in = const_cast<unsigned char*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (!wrapByHand) return out;
  Bytes wrapped = {0x78, 0x9C};
  wrapped.insert(wrapped.end(), out.begin(), out.end());
  const uLong check = adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
  for (int shift = 24; shift >= 0; shift -= 8) wrapped.push_back((check >> shift) & 0xFF);
  return wrapped;
}

// Rows of a picture: runs, gradients and noise, as a PNG's inflated data has.
Bytes pictureBytes(std::size_t length) {
  Bytes bytes(length);
  std::uint32_t noise = 99;
  for (std::size_t i = 0; i < length; ++i) {
    noise = noise * 1103515245u + 12345u;
    bytes[i] =
        static_cast<unsigned char>((i / 700) % 3 == 0 ? i / 4096 : (i % 251) ^ (noise >> 29));
  }
  return bytes;
}

// The first two bytes made a zlib header with the method and window given, flags as given, and
// the check bits that make it valid.
Bytes withHeader(Bytes stream, int method, int windowCode, bool dictionary) {
  stream[0] = static_cast<unsigned char>(windowCode << 4 | method);
  int flags = dictionary ? 0x20 : 0;
  while ((stream[0] * 256 + flags) % 31 != 0) ++flags;
  stream[1] = static_cast<unsigned char>(flags);
  return stream;
}

struct Inflated {
  InflateVerdict verdict = InflateVerdict::kGoingOn;
  Bytes out;
};

bool keep(void* taker, const unsigned char* bytes, std::size_t length) {
  Bytes& out = *static_cast<Bytes*>(taker);
  out.insert(out.end(), bytes, bytes + length);
  return true;
}

// Gives the stream in pieces of the sizes listed (the last taken again until the end), as the
// checks do with the image data chunks: nothing more after an end or a refusal.
Inflated inflateInPieces(const Inflater& inflater, const Bytes& stream,
                         const std::vector<std::size_t>& pieces) {
  Inflated run;
  InflaterState* state = inflater.start();
  EXPECT_NE(state, nullptr);
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t length = std::min(pieces[std::min(i, pieces.size() - 1)], stream.size() - at);
    run.verdict = inflater.inflateMore(*state, stream.data() + at, length, keep, &run.out);
    at += length;
    if (run.verdict != InflateVerdict::kGoingOn) break;
  }
  inflater.end(state);
  return run;
}

std::vector<const Inflater*> inflaters() {
  std::vector<const Inflater*> all = {&kZlibInflater};
  if (&checkInflater() != &kZlibInflater) all.push_back(&checkInflater());
  return all;
}

const char* nameOf(const Inflater* inflater) {
  return inflater == &kZlibInflater ? "zlib" : "the checks' own";
}

}  // namespace

TEST(PngInflate, SoundStreamsGiveTheirBytesWhateverThePieces) {
  const Bytes text = pictureBytes(70000);
  // Twice the inflaters' buffer exactly: the last byte fills a buffer, the checksum comes after.
  const Bytes twoBuffers = pictureBytes(2 << 18);
  const Bytes stream9 = deflated(text, 9, 15);
  // A flat picture: a few hundred bytes fill the buffer many times over.
  const Bytes flat(3 << 18, 7);
  struct Case {
    std::string name;
    Bytes data;
    Bytes stream;
    std::vector<std::size_t> pieces;
  };
  const Case cases[] = {
      {"one piece", text, stream9, {stream9.size()}},
      {"pieces of a byte", text, stream9, {1}},
      {"pieces of 8192, as encoders cut their chunks", text, stream9, {8192}},
      {"the checksum alone in the last piece", text, stream9, {stream9.size() - 4, 4}},
      {"the header cut in two", text, stream9, {1, 5000}},
      {"stored blocks", text, deflated(text, 0, 15), {3000}},
      {"a 512-byte window", text, deflated(text, 6, 9), {777}},
      // zlib does not hold a stream to the window its header declares, so neither may the other.
      {"matches farther back than the window declared",
       text,
       withHeader(stream9, 8, 1, false),
       {4096}},
      {"nothing at all", {}, deflated({}, 9, 15), {1}},
      {"ending at a buffer's end", twoBuffers, deflated(twoBuffers, 1, 15), {65536}},
      {"far more out than in", flat, deflated(flat, 9, 15), {1 << 20}},
  };
  for (const Inflater* inflater : inflaters()) {
    for (const Case& c : cases) {
      const Inflated run = inflateInPieces(*inflater, c.stream, c.pieces);
      EXPECT_EQ(run.verdict, InflateVerdict::kEnded) << nameOf(inflater) << ": " << c.name;
      EXPECT_TRUE(run.out == c.data) << nameOf(inflater) << ": " << c.name;
    }
  }
}

TEST(PngInflate, EveryInflaterRefusesTheSameStreams) {
  const Bytes data = pictureBytes(20000);
  const Bytes good = deflated(data, 9, 15);
  Bytes badChecksum(good.begin(), good.end() - 1);
  badChecksum.push_back(static_cast<unsigned char>(good[good.size() - 1] ^ 1));
  Bytes badCheckBits = good;
  badCheckBits[1] ^= 1;
  const Bytes blockType3 = {0x78, 0x9C, 0x07, 0x00};
  struct Case {
    const char* name;
    Bytes stream;
  };
  const Case cases[] = {
      {"a wrong Adler-32", badChecksum},
      {"a wrong header check", badCheckBits},
      {"a preset dictionary asked for", withHeader(good, 8, 7, true)},
      {"a window past 32 KB", withHeader(good, 8, 8, false)},
      {"a method other than deflate", withHeader(good, 7, 7, false)},
      {"a block of type 3", blockType3},
      {"a match reaching before the start", deflated(data, 9, 15, pictureBytes(5000))},
  };
  for (const Inflater* inflater : inflaters()) {
    for (const Case& c : cases) {
      for (const std::size_t piece : {c.stream.size(), std::size_t{1}}) {
        EXPECT_EQ(inflateInPieces(*inflater, c.stream, {piece}).verdict, InflateVerdict::kBadData)
            << nameOf(inflater) << ": " << c.name << " in pieces of " << piece;
      }
    }
  }
}

// A stream cut short is not refused by the inflater (the checks then say the image data ends
// early), wherever the cut falls; bytes after a stream's end are left alone.
TEST(PngInflate, CutStreamsGoOnAndBytesAfterTheEndAreLeft) {
  const Bytes data = pictureBytes(30000);
  const Bytes good = deflated(data, 9, 15);
  for (const Inflater* inflater : inflaters()) {
    for (std::size_t cut = 1; cut < good.size(); cut += good.size() / 37 + 1) {
      const Bytes cutShort(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
      const Inflated run = inflateInPieces(*inflater, cutShort, {1000});
      EXPECT_EQ(run.verdict, InflateVerdict::kGoingOn) << nameOf(inflater) << ": cut at " << cut;
      EXPECT_TRUE(std::equal(run.out.begin(), run.out.end(), data.begin()))
          << nameOf(inflater) << ": cut at " << cut;
    }
    Bytes followed = good;
    followed.insert(followed.end(), {1, 2, 3, 4, 5});
    const Inflated run = inflateInPieces(*inflater, followed, {followed.size()});
    EXPECT_EQ(run.verdict, InflateVerdict::kEnded) << nameOf(inflater);
    EXPECT_TRUE(run.out == data) << nameOf(inflater);
  }
}
