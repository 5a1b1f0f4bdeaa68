#include "png_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "file_open.h"
#include "png_check.h"
#include "png_inflate.h"
#include "test_support.h"

namespace {

// A 16-bit RGBA picture, every row filter 0: eight bytes a pixel.
Bytes rgba16Png(std::uint32_t width, std::uint32_t height) {
  Bytes rows;
  for (std::uint32_t y = 0; y < height; ++y) {
    rows.push_back(0);
    for (std::uint32_t i = 0; i < width * 8; ++i) {
      rows.push_back(static_cast<unsigned char>(i * 37 + y));
    }
  }
  Bytes packed(compressBound(rows.size()));
  uLongf packedSize = packed.size();
  compress(packed.data(), &packedSize, rows.data(), rows.size());
  packed.resize(packedSize);
  Bytes header;
  putBigEndian(header, width);
  putBigEndian(header, height);
  header.insert(header.end(), {16, 6, 0, 0, 0});
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", header);
  putChunk(file, "IDAT", packed);
  putChunk(file, "IEND", {});
  return file;
}

// Deflate's bits: values least significant bit first, Huffman codes most significant first.
struct BitWriter {
  Bytes bytes;
  int used = 8;  // bits taken in the last byte
  void bit(unsigned value) {
    if (used == 8) {
      bytes.push_back(0);
      used = 0;
    }
    bytes.back() = static_cast<unsigned char>(bytes.back() | (value & 1) << used++);
  }
  void value(unsigned v, int count) {
    for (int i = 0; i < count; ++i) bit(v >> i);
  }
  void code(unsigned c, int length) {
    for (int i = length - 1; i >= 0; --i) bit(c >> i);
  }
};

// A final block with its own Huffman codes, carrying the literals given (each 0, 1 or 7). Its
// distance code is a single code of two bits: incomplete, which zlib refuses and some other
// inflaters read on through.
Bytes blockWithAnIncompleteDistanceCode(const Bytes& literals) {
  BitWriter out;
  out.value(1, 1);   // the last block
  out.value(2, 2);   // its own codes
  out.value(0, 5);   // 257 literal/length codes
  out.value(0, 5);   // 1 distance code
  out.value(12, 4);  // 16 code length codes
  // The code length code: 2 -> "0", 17 -> "10", 18 -> "11"; in the order deflate lists them.
  const int order[16] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2};
  for (int symbol : order) out.value(symbol == 2 ? 1 : symbol == 17 || symbol == 18 ? 2 : 0, 3);
  const auto two = [&] { out.code(0, 1); };
  two();           // literal 0
  two();           // literal 1
  out.code(2, 2);  // 17: five zeros (2..6)
  out.value(2, 3);
  two();           // literal 7
  out.code(3, 2);  // 18: 138 zeros, then 110 (8..255)
  out.value(127, 7);
  out.code(3, 2);
  out.value(99, 7);
  two();  // 256, the end of the block
  two();  // the one distance code
  // Four codes of two bits, in symbol order: 0 -> 00, 1 -> 01, 7 -> 10, 256 -> 11.
  for (unsigned char literal : literals) out.code(literal == 0 ? 0 : literal == 1 ? 1 : 2, 2);
  out.code(3, 2);
  return out.bytes;
}

// An 8-bit grey PNG, 5 x 3, whose image data is `stored` rows in a stored block, then the rest
// (`literals`) in a block zlib refuses.
Bytes pngWithAnIncompleteCode(const Bytes& stored, const Bytes& literals) {
  Bytes stream = {0x78, 0x01, 0x00};  // a block stored as it is, not the last
  stream.push_back(static_cast<unsigned char>(stored.size()));
  stream.push_back(static_cast<unsigned char>(stored.size() >> 8));
  stream.push_back(static_cast<unsigned char>(~stored.size()));
  stream.push_back(static_cast<unsigned char>(~stored.size() >> 8));
  stream.insert(stream.end(), stored.begin(), stored.end());
  const Bytes block = blockWithAnIncompleteDistanceCode(literals);
  stream.insert(stream.end(), block.begin(), block.end());
  Bytes all = stored;
  all.insert(all.end(), literals.begin(), literals.end());
  putBigEndian(stream, adler32(1, all.data(), static_cast<uInt>(all.size())));
  Bytes header;
  putBigEndian(header, 5);
  putBigEndian(header, 3);
  header.insert(header.end(), {8, 0, 0, 0, 0});
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", header);
  putChunk(file, "IDAT", stream);
  putChunk(file, "IEND", {});
  return file;
}

Bytes greyRows(int count, unsigned char filter) {
  Bytes rows;
  for (int y = 0; y < count; ++y) {
    rows.push_back(filter);
    rows.insert(rows.end(), {0, 1, 0, 1, 1});
  }
  return rows;
}

}  // namespace

// The decoder reads the file again after the checks: a file that has changed in between (here:
// facts that no longer match it) is refused, never decoded into blocks sized for other facts.
TEST(DecodePng, AFileThatNoLongerMatchesItsCheckIsRefused) {
  ScratchDirectory directory;
  const std::string path = directory.path("changed.png");
  writeFile(path, rgba16Png(5, 3));
  FileHandle file(openForReading(path.c_str()));
  ASSERT_TRUE(file);
  PngFacts checked;
  ASSERT_TRUE(checkPng(file.get(), checked).ok());

  struct Case {
    const char* name;
    void (*change)(PngFacts&);
  };
  const Case cases[] = {
      {"as checked", [](PngFacts&) {}},
      {"was 8-bit indexed", [](PngFacts& f) { f.bitDepth = 8, f.colourType = 3; }},
      {"was narrower", [](PngFacts& f) { f.width = 2; }},
      {"was shorter", [](PngFacts& f) { f.height = 1; }},
      {"was 8-bit RGBA", [](PngFacts& f) { f.bitDepth = 8; }},
      {"was interlaced", [](PngFacts& f) { f.interlaced = true; }},
  };
  for (const Case& c : cases) {
    PngFacts facts = checked;
    c.change(facts);
    DecodedPicture picture;
    const ImportOutcome outcome = decodePng(file.get(), facts, picture);
    const bool unchanged = std::string(c.name) == "as checked";
    EXPECT_EQ(outcome.ok(), unchanged) << c.name;
    if (!unchanged) {
      EXPECT_EQ(outcome.problem, ImportProblem::kPngUndecodable) << c.name;
    }
  }
}

// A file whose image data is damaged after its checks (its header and checksums still sound)
// is refused by libspng with the words the checks would have used.
TEST(DecodePng, ImageDataDamagedAfterTheChecksIsNamedAsTheChecksWould) {
  ScratchDirectory directory;
  const std::string path = directory.path("changed.png");
  const Bytes sound = rgba16Png(5, 3);
  writeFile(path, sound);
  FileHandle file(openForReading(path.c_str()));
  ASSERT_TRUE(file);
  PngFacts checked;
  ASSERT_TRUE(checkPng(file.get(), checked).ok());

  // The same header, then image data that is no deflate stream: a block of type 3.
  Bytes damaged(sound.begin(), sound.begin() + 33);
  putChunk(damaged, "IDAT", {0x78, 0x9C, 0x07, 0x00, 0x00, 0x00});
  putChunk(damaged, "IEND", {});
  writeFile(path, damaged);
  FileHandle reopened(openForReading(path.c_str()));
  ASSERT_TRUE(reopened);
  DecodedPicture picture;
  EXPECT_EQ(decodePng(reopened.get(), checked, picture).problem, ImportProblem::kPngBadImageData);
}

// A block whose Huffman code zlib calls incomplete ends zlib's reading of the image data, and
// the file is damaged image data on every platform, whatever a faster inflater makes of the
// rest: rows that all arrive, a row with a bad filter byte, or rows missing; with the game's
// palette (decoded) and without it (refused before any decoder).
TEST(ImportPng, AnIncompleteHuffmanCodeIsDamagedImageDataOnEveryPath) {
  struct Case {
    const char* name;
    Bytes stored;
    Bytes literals;
  };
  const Bytes badFilterRow = greyRows(1, 7);
  const Case cases[] = {
      {"every row before the block", greyRows(3, 0), {}},
      {"a bad filter byte after it", greyRows(2, 0), badFilterRow},
      {"a row missing after it", greyRows(2, 0), {}},
  };
  ScratchDirectory directory;
  const std::string path = directory.path("grey .png");
  for (const Case& c : cases) {
    writeFile(path, pngWithAnIncompleteCode(c.stored, c.literals));
    FileHandle file(openForReading(path.c_str()));
    ASSERT_TRUE(file);
    PngFacts facts;
    EXPECT_EQ(checkPngUsing(file.get(), facts, kZlibInflater).problem,
              ImportProblem::kPngBadImageData)
        << c.name;
    for (const bool withPalette : {true, false}) {
      ImportOptions options;
      options.hasPalette = withPalette;
      options.palette.colourCount = 2;
      options.palette.entries[1][0] = options.palette.entries[1][1] =
          options.palette.entries[1][2] = 1;
      ImportedImage image{};
      EXPECT_EQ(importPicture(path.c_str(), options, image).problem,
                ImportProblem::kPngBadImageData)
          << c.name << (withPalette ? ", with a palette" : ", without one");
      EXPECT_EQ(image.compressedData, nullptr);
    }
  }
}

namespace {

Bytes deflated(const Bytes& raw) {
  Bytes packed(compressBound(raw.size()));
  uLongf packedSize = packed.size();
  compress2(packed.data(), &packedSize, raw.data(), raw.size(), 9);
  packed.resize(packedSize);
  return packed;
}

// rgba16Png's picture with side chunks put before its image data.
Bytes withSideChunks(const Bytes& png, const std::vector<std::pair<const char*, Bytes>>& chunks) {
  Bytes file(png.begin(), png.begin() + 33);
  for (const auto& [type, data] : chunks) putChunk(file, type, data);
  file.insert(file.end(), png.begin() + 33, png.end());
  return file;
}

// A keyword and the fields before a compressed body: zTXt's method, iTXt's flag, method and two
// empty texts, iCCP's method.
Bytes sideChunk(const char* type, std::size_t inflated) {
  const std::string field(type);
  Bytes data;
  const char* keyword = field == "iCCP" ? "profile" : "Comment";
  data.insert(data.end(), keyword, keyword + std::strlen(keyword));
  data.push_back(0);
  if (field == "iTXt")
    data.insert(data.end(), {1, 0, 0, 0});
  else
    data.push_back(0);
  const Bytes body = deflated(Bytes(inflated, 'a'));
  data.insert(data.end(), body.begin(), body.end());
  return data;
}

}  // namespace

// Text and profile chunks are bounded each and together, measured by the checks themselves so
// that every platform refuses alike (a decoder that does not read them would pass them): one byte
// past a bound is refused, and never is a chunk inflated whole. Within them the picture decodes.
// The bound is the last verdict: any other fault is named first.
TEST(CheckPng, SideChunksInflateWithinTheirBounds) {
  ScratchDirectory directory;
  const std::string path = directory.path("side.png");
  const Bytes plain = rgba16Png(5, 3);
  const std::size_t each = static_cast<std::size_t>(kPngSideChunkLimit);
  using Chunks = std::vector<std::pair<const char*, Bytes>>;
  Bytes storedText = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0, 0, 0, 0};
  storedText.resize(storedText.size() + each + 100, 'a');  // iTXt with flag 0: not compressed
  struct Case {
    const char* name;
    Chunks chunks;
    ImportProblem verdict;
    bool badEndChecksum = false;
  };
  const ImportProblem kPast = ImportProblem::kPngSideChunkTooLarge;
  const Case cases[] = {
      {"small text", {{"zTXt", sideChunk("zTXt", 1000)}}, ImportProblem::kNone},
      {"text at the bound", {{"zTXt", sideChunk("zTXt", each)}}, ImportProblem::kNone},
      {"profile at the bound", {{"iCCP", sideChunk("iCCP", each)}}, ImportProblem::kNone},
      {"a stored international text past the bound", {{"iTXt", storedText}}, ImportProblem::kNone},
      {"eight texts at the bound, 8 MiB in all", Chunks(8, {"zTXt", sideChunk("zTXt", each)}),
       ImportProblem::kNone},
      {"compressed text of 64 MiB", {{"zTXt", sideChunk("zTXt", 64 * each)}}, kPast},
      {"international text of 64 MiB", {{"iTXt", sideChunk("iTXt", 64 * each)}}, kPast},
      {"colour profile of 64 MiB", {{"iCCP", sideChunk("iCCP", 64 * each)}}, kPast},
      {"text a byte past", {{"zTXt", sideChunk("zTXt", each + 1)}}, kPast},
      {"international text a byte past", {{"iTXt", sideChunk("iTXt", each + 1)}}, kPast},
      {"profile a byte past", {{"iCCP", sideChunk("iCCP", each + 1)}}, kPast},
      {"eight at the bound and one of a byte, past in all",
       [&] {
         Chunks chunks(8, {"zTXt", sideChunk("zTXt", each)});
         chunks.push_back({"iTXt", sideChunk("iTXt", 1)});
         return chunks;
       }(),
       kPast},
      {"a text past the bound and the end chunk's checksum wrong",
       {{"zTXt", sideChunk("zTXt", 64 * each)}},
       ImportProblem::kPngBadCrc,
       true},
  };
  for (const Case& c : cases) {
    Bytes file = withSideChunks(plain, c.chunks);
    if (c.badEndChecksum) file.back() ^= 1;
    writeFile(path, file);
    FileHandle opened(openForReading(path.c_str()));
    ASSERT_TRUE(opened);
    PngFacts facts;
    EXPECT_EQ(checkPng(opened.get(), facts).problem, c.verdict) << c.name;
    EXPECT_EQ(checkPngChunks(opened.get(), facts).problem, c.verdict) << c.name;
    ImportOptions options;
    options.hasPalette = true;
    options.palette.colourCount = 1;
    ImportedImage image{};
    EXPECT_EQ(importPicture(path.c_str(), options, image).problem, c.verdict) << c.name;
    releaseImportedImage(image);
    if (c.verdict != ImportProblem::kNone) continue;
    DecodedPicture picture;
    ASSERT_TRUE(decodePng(opened.get(), facts, picture).ok()) << c.name;
    // Top left pixel, 16 bits a channel brought to 8: the first of each pair of bytes.
    EXPECT_EQ(picture.pixels.get()[0], 0) << c.name;
    EXPECT_EQ(picture.pixels.get()[1], 74) << c.name;
  }
}
