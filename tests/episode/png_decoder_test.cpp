#include "png_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>

#include "file_open.h"
#include "png_check.h"
#include "test_support.h"

namespace {

void putBigEndian(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((value >> shift) & 0xFF);
}

void putChunk(Bytes& out, const char* type, const Bytes& data) {
  putBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  putBigEndian(out, crc32(0, out.data() + typeAt, static_cast<uInt>(out.size() - typeAt)));
}

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
