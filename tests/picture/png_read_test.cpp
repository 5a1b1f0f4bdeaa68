// Reading a PNG with its image data inflated once (readPng) against the checks and the decoder
// one after the other (checkThenDecodePng, which inflates it twice): for every colour type and
// depth, interlaced or not, each fault of the image data is refused with the same verdict, and
// each picture that passes is the same byte for byte. libspng alone passes some of these faults
// (it stops reading the stream once it has the last row: a wrong or missing Adler-32, a stream
// that never ends, a broken block after the rows), which is why the rows it is fed are checked
// on the way and the stream read to its end.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "file_open.h"
#include "png_check.h"
#include "png_decoder.h"
#include "png_restream.h"
#include "test_support.h"

namespace {

struct Kind {
  const char* name;
  int colourType;
  int depth;
  bool interlaced;
  std::uint32_t width = 13;
  std::uint32_t height = 9;
};

int channels(int colourType) {
  return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// The length of each row, without its filter byte, pass after pass (Adam7: starts and steps
// of the seven passes, as the format lists them).
std::vector<std::size_t> rowLengths(const Kind& kind) {
  const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  const int whole[1][4] = {{0, 0, 1, 1}};
  const int(*chosen)[4] = kind.interlaced ? passes : whole;
  std::vector<std::size_t> lengths;
  const std::size_t bits = static_cast<std::size_t>(channels(kind.colourType) * kind.depth);
  for (int p = 0; p < (kind.interlaced ? 7 : 1); ++p) {
    const auto [x0, y0, dx, dy] = chosen[p];
    const std::uint32_t w = kind.width > std::uint32_t(x0) ? (kind.width - x0 + dx - 1) / dx : 0;
    const std::uint32_t h = kind.height > std::uint32_t(y0) ? (kind.height - y0 + dy - 1) / dy : 0;
    if (w == 0) continue;
    for (std::uint32_t y = 0; y < h; ++y) lengths.push_back((w * bits + 7) / 8);
  }
  return lengths;
}

// The rows: every filter type in turn and bytes of noise. `lastRowAt` is where the last row's
// filter byte stands.
Bytes rawRows(const Kind& kind, std::size_t& lastRowAt) {
  Bytes raw;
  std::uint32_t noise = 7;
  int row = 0;
  for (const std::size_t length : rowLengths(kind)) {
    lastRowAt = raw.size();
    raw.push_back(static_cast<unsigned char>(row++ % 5));
    for (std::size_t i = 0; i < length; ++i) {
      noise = noise * 1103515245u + 12345u;
      raw.push_back(static_cast<unsigned char>(noise >> 24));
    }
  }
  return raw;
}

Bytes compressed(const Bytes& raw) {
  Bytes packed(compressBound(raw.size()));
  uLongf size = packed.size();
  compress2(packed.data(), &size, raw.data(), raw.size(), 9);
  packed.resize(size);
  return packed;
}

// A zlib stream of the bytes in stored blocks (of 65535 bytes at most), the last final or not.
Bytes storedStream(const Bytes& raw, bool final) {
  Bytes stream = {0x78, 0x01};
  for (std::size_t at = 0; at == 0 || at < raw.size(); at += 65535) {
    const std::size_t size = std::min<std::size_t>(65535, raw.size() - at);
    const bool last = at + size == raw.size();
    stream.insert(stream.end(),
                  {static_cast<unsigned char>(final && last ? 1 : 0),
                   static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                   static_cast<unsigned char>(~size), static_cast<unsigned char>(~size >> 8)});
    stream.insert(stream.end(), raw.begin() + at, raw.begin() + at + size);
  }
  return stream;
}

Bytes pngOf(const Kind& kind, const std::vector<Bytes>& imageData) {
  Bytes header;
  putBigEndian(header, kind.width);
  putBigEndian(header, kind.height);
  header.insert(header.end(), {static_cast<unsigned char>(kind.depth),
                               static_cast<unsigned char>(kind.colourType), 0, 0,
                               static_cast<unsigned char>(kind.interlaced ? 1 : 0)});
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", header);
  if (kind.colourType == 3) {
    Bytes palette;
    for (int i = 0; i < 3 * (1 << kind.depth); ++i)
      palette.push_back(static_cast<unsigned char>(i * 7));
    putChunk(file, "PLTE", palette);
    putChunk(file, "tRNS", {0, 128});  // 1-bit pictures have two entries
  }
  if (kind.colourType == 2) putChunk(file, "tRNS", {0, 1, 0, 2, 0, 3});
  putChunk(file, "tEXt", {'N', 'o', 't', 'e', 0, 'x'});
  for (const Bytes& data : imageData) putChunk(file, "IDAT", data);
  putChunk(file, "tIME", {7, 234, 12, 11, 2, 30, 0});
  putChunk(file, "IEND", {});
  return file;
}

struct Fault {
  const char* name;
  ImportProblem verdict;  // worked out by hand from what the fault does to the rows and stream
  std::vector<Bytes> (*imageData)(const Bytes& raw, std::size_t lastRowAt);
};

Bytes flipped(Bytes bytes, std::size_t at) {
  bytes[at] ^= 1;
  return bytes;
}

Bytes withFilter(Bytes raw, std::size_t at) {
  raw[at] = 5;
  return raw;
}

const Fault kFaults[] = {
    {"sound", ImportProblem::kNone,
     [](const Bytes& raw, std::size_t) { return std::vector<Bytes>{compressed(raw)}; }},
    {"sound, in chunks of 3 bytes", ImportProblem::kNone,
     [](const Bytes& raw, std::size_t) {
       const Bytes stream = compressed(raw);
       std::vector<Bytes> pieces;
       for (std::size_t at = 0; at < stream.size(); at += 3) {
         pieces.emplace_back(stream.begin() + at, stream.begin() + std::min(at + 3, stream.size()));
       }
       return pieces;
     }},
    {"filter byte 5 in the first row", ImportProblem::kPngBadFilter,
     [](const Bytes& raw, std::size_t) {
       return std::vector<Bytes>{compressed(withFilter(raw, 0))};
     }},
    {"filter byte 5 in the last row", ImportProblem::kPngBadFilter,
     [](const Bytes& raw, std::size_t last) {
       return std::vector<Bytes>{compressed(withFilter(raw, last))};
     }},
    {"the last byte of the last row missing", ImportProblem::kPngShortImageData,
     [](const Bytes& raw, std::size_t) {
       return std::vector<Bytes>{compressed(Bytes(raw.begin(), raw.end() - 1))};
     }},
    {"the last row missing", ImportProblem::kPngShortImageData,
     [](const Bytes& raw, std::size_t last) {
       return std::vector<Bytes>{compressed(Bytes(raw.begin(), raw.begin() + last))};
     }},
    {"a block of type 3 before any row", ImportProblem::kPngBadImageData,
     [](const Bytes&, std::size_t) {
       return std::vector<Bytes>{{0x78, 0x9C, 0x07, 0, 0, 0}};
     }},
    {"a block of type 3 after the rows", ImportProblem::kPngBadImageData,
     [](const Bytes& raw, std::size_t) {
       Bytes stream = storedStream(raw, false);
       stream.insert(stream.end(), {0x07, 0, 0, 0, 0});
       return std::vector<Bytes>{stream};
     }},
    {"a wrong Adler-32", ImportProblem::kPngBadImageData,
     [](const Bytes& raw, std::size_t) {
       const Bytes stream = compressed(raw);
       return std::vector<Bytes>{flipped(stream, stream.size() - 1)};
     }},
    {"the Adler-32 cut in two", ImportProblem::kPngShortImageData,
     [](const Bytes& raw, std::size_t) {
       const Bytes stream = compressed(raw);
       return std::vector<Bytes>{Bytes(stream.begin(), stream.end() - 2)};
     }},
    {"every row in a block that is not the last, and no more", ImportProblem::kPngShortImageData,
     [](const Bytes& raw, std::size_t) { return std::vector<Bytes>{storedStream(raw, false)}; }},
    {"bytes after the last row, in the stream", ImportProblem::kNone,
     [](const Bytes& raw, std::size_t) {
       Bytes more = raw;
       more.insert(more.end(), 300, 9);
       return std::vector<Bytes>{compressed(more)};
     }},
    {"bytes after the last row and a wrong Adler-32", ImportProblem::kPngBadImageData,
     [](const Bytes& raw, std::size_t) {
       Bytes more = raw;
       more.insert(more.end(), 300, 9);
       const Bytes stream = compressed(more);
       return std::vector<Bytes>{flipped(stream, stream.size() - 1)};
     }},
    {"bytes after the stream's end", ImportProblem::kNone,
     [](const Bytes& raw, std::size_t) {
       Bytes stream = compressed(raw);
       stream.insert(stream.end(), {1, 2, 3});
       return std::vector<Bytes>{stream};
     }},
    {"an image data chunk after the stream's end", ImportProblem::kNone,
     [](const Bytes& raw, std::size_t) {
       return std::vector<Bytes>{compressed(raw), {0xFF, 0xFF}};
     }},
};

const Kind kKinds[] = {
    {"grey of 1 bit", 0, 1, false},
    {"grey of 2 bits, interlaced", 0, 2, true},
    {"grey of 4 bits", 0, 4, false},
    {"grey of 8 bits, interlaced", 0, 8, true},
    {"grey of 16 bits", 0, 16, false},
    {"RGB of 8 bits", 2, 8, false},
    {"RGB of 16 bits, interlaced", 2, 16, true},
    {"indexed of 1 bit, interlaced", 3, 1, true},
    {"indexed of 2 bits", 3, 2, false},
    {"indexed of 4 bits, interlaced", 3, 4, true},
    {"indexed of 8 bits", 3, 8, false},
    {"grey and alpha of 8 bits", 4, 8, false},
    {"grey and alpha of 16 bits, interlaced", 4, 16, true},
    {"RGBA of 8 bits, interlaced", 6, 8, true},
    {"RGBA of 16 bits", 6, 16, false},
    {"RGBA of 16 bits, 1 x 1, interlaced: six passes empty", 6, 16, true, 1, 1},
    // Rows of 2400 bytes: stored blocks of the most a block holds, and many image data pieces.
    {"RGBA of 16 bits, 300 x 200", 6, 16, false, 300, 200},
    {"indexed of 8 bits, 700 x 300, interlaced", 3, 8, true, 700, 300},
};

struct Read {
  ImportOutcome outcome;
  PngFacts facts;
  DecodedPicture picture;
};

Read readWith(ImportOutcome (*reader)(std::FILE*, bool, PngFacts&, DecodedPicture&),
              const std::string& path, bool decodeTrueColour) {
  Read read;
  FileHandle file(openForReading(path.c_str()));
  EXPECT_TRUE(file);
  if (file) read.outcome = reader(file.get(), decodeTrueColour, read.facts, read.picture);
  return read;
}

bool samePicture(const DecodedPicture& a, const DecodedPicture& b) {
  if (a.width != b.width || a.height != b.height || a.indexed != b.indexed ||
      a.paletteCount != b.paletteCount ||
      std::memcmp(a.palette, b.palette, sizeof a.palette) != 0) {
    return false;
  }
  const std::size_t size =
      static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height) * (a.indexed ? 1 : 4);
  return std::memcmp(a.pixels.get(), b.pixels.get(), size) == 0;
}

}  // namespace

TEST(ReadPng, EveryImageDataFaultIsRefusedAsTheChecksRefuseIt) {
  ScratchDirectory directory;
  const std::string path = directory.path("case.png");
  for (const Kind& kind : kKinds) {
    std::size_t lastRowAt = 0;
    const Bytes raw = rawRows(kind, lastRowAt);
    for (const Fault& fault : kFaults) {
      const std::string name = std::string(kind.name) + ": " + fault.name;
      writeFile(path, pngOf(kind, fault.imageData(raw, lastRowAt)));
      {
        FileHandle file(openForReading(path.c_str()));
        ASSERT_TRUE(file);
        PngFacts facts;
        EXPECT_EQ(checkPng(file.get(), facts).problem, fault.verdict) << name;
      }
      const Read once = readWith(readPng, path, true);
      const Read twice = readWith(checkThenDecodePng, path, true);
      EXPECT_EQ(once.outcome.problem, fault.verdict) << name;
      EXPECT_EQ(once.outcome.problem, twice.outcome.problem) << name;
      EXPECT_EQ(once.outcome.detail, twice.outcome.detail) << name;
      if (fault.verdict == ImportProblem::kPngBadFilter) {
        EXPECT_EQ(once.outcome.detail, 5) << name;
      }
      if (fault.verdict == ImportProblem::kNone && once.outcome.ok() && twice.outcome.ok()) {
        EXPECT_TRUE(samePicture(once.picture, twice.picture)) << name;
      }
      // Without decoding (a true-colour picture and no palette to map it onto), the same verdict.
      const Read checkedOnly = readWith(readPng, path, false);
      EXPECT_EQ(checkedOnly.outcome.problem, fault.verdict) << name << ", checked only";
    }
  }
}

// A decoder that cannot be told to take checksums on trust (the Windows Imaging Component) is
// handed the restream with its checksums worked out: written out, it must pass every check a
// file passes, each chunk's CRC-32 and the stream's Adler-32 among them, and hold the very
// picture the file holds. With zeros, the checks refuse it. The Windows decoder's buffer is
// sized by the bound, which leaves room for every stored chunk: the restream stays short of it by
// at least the file's own image data chunks, whether the file has one of them or one a byte (the
// inflater then hands on rows a few at a time, and the stored chunks must still be full ones).
TEST(ReadPng, ARestreamWithItsChecksumsWorkedOutIsASoundPngOfThePicture) {
  ScratchDirectory directory;
  const std::string path = directory.path("case.png");
  const std::string again = directory.path("restreamed.png");
  for (const Kind& kind : kKinds) {
    std::size_t lastRowAt = 0;
    const Bytes stream = compressed(rawRows(kind, lastRowAt));
    std::vector<Bytes> bytes;
    for (unsigned char byte : stream) bytes.push_back({byte});
    for (const std::vector<Bytes>& imageData : {std::vector<Bytes>{stream}, bytes}) {
      writeFile(path, pngOf(kind, imageData));
      const std::int64_t imageDataChunks =
          static_cast<std::int64_t>(12 * imageData.size() + stream.size());
      for (RestreamChecksums checksums :
           {RestreamChecksums::kWorkedOut, RestreamChecksums::kZeros}) {
        const bool workedOut = checksums == RestreamChecksums::kWorkedOut;
        const std::string name = std::string(kind.name) + (workedOut ? "" : ", zeros") +
                                 (imageData.size() > 1 ? ", a chunk a byte" : "");
        Bytes restreamed;
        {
          FileHandle file(openForReading(path.c_str()));
          ASSERT_TRUE(file);
          PngFacts facts;
          ASSERT_TRUE(checkPngChunks(file.get(), facts).ok()) << name;
          std::unique_ptr<PngRestream, PngRestreamClose> restream(
              openPngRestream(file.get(), facts, checksums));
          ASSERT_TRUE(restream) << name;
          unsigned char piece[5000];
          for (std::size_t got; (got = readPngRestream(*restream, piece, sizeof piece)) > 0;) {
            restreamed.insert(restreamed.end(), piece, piece + got);
          }
          EXPECT_TRUE(pngRestreamSound(*restream)) << name;
          EXPECT_GE(pngRestreamBound(fileSize(file.get()), facts) -
                        static_cast<std::int64_t>(restreamed.size()),
                    imageDataChunks)
              << name;
        }
        writeFile(again, restreamed);
        const Read original = readWith(checkThenDecodePng, path, true);
        const Read fromRestream = readWith(checkThenDecodePng, again, true);
        ASSERT_TRUE(original.outcome.ok()) << name;
        EXPECT_EQ(fromRestream.outcome.ok(), workedOut) << name;
        if (workedOut && fromRestream.outcome.ok()) {
          EXPECT_TRUE(samePicture(original.picture, fromRestream.picture)) << name;
        }
      }
    }
  }
}
