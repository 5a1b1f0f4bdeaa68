// Indexed pictures that use an index their own palette does not list: with the game's palette
// there is no colour to map such a pixel by, so the picture is refused; without it the indices are
// stored as they are.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "picture_import.h"
#include "test_support.h"

namespace {

// An 8-bit indexed PNG whose palette lists `entries` greys (entry i is i, i, i).
Bytes indexedPng(std::uint32_t width, const std::vector<Bytes>& rows, int entries) {
  Bytes raw;
  for (const Bytes& row : rows) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), row.begin(), row.end());
  }
  Bytes packed(compressBound(raw.size()));
  uLongf packedSize = packed.size();
  compress(packed.data(), &packedSize, raw.data(), raw.size());
  packed.resize(packedSize);
  Bytes header;
  putBigEndian(header, width);
  putBigEndian(header, static_cast<std::uint32_t>(rows.size()));
  header.insert(header.end(), {8, 3, 0, 0, 0});
  Bytes palette;
  for (int i = 0; i < entries; ++i) palette.insert(palette.end(), 3, static_cast<unsigned char>(i));
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", header);
  putChunk(file, "PLTE", palette);
  putChunk(file, "IDAT", packed);
  putChunk(file, "IEND", {});
  return file;
}

Palette greys(int count) {
  Palette palette{};
  palette.colourCount = count;
  for (int i = 0; i < count; ++i) {
    palette.entries[i][0] = palette.entries[i][1] = palette.entries[i][2] =
        static_cast<unsigned char>(i);
  }
  return palette;
}

TEST(IndexPastPalette, IsRefusedWithAPaletteAndStoredAsItIsWithout) {
  struct Case {
    const char* name;
    Bytes file;
    int x, y, index, entries;
    Bytes stored;  // top row first
  };
  BitmapFields bitmap;  // 4 x 2, a colour table of 4; rows bottom first in the file
  bitmap.width = 4;
  bitmap.height = 2;
  bitmap.paletteEntries = 4;
  bitmap.pixelData = {1, 9, 0, 12, 0, 1, 2, 3};
  BitmapFields fourBits = bitmap;  // 4 bits a pixel, a table of 2
  fourBits.bitCount = 4;
  fourBits.paletteEntries = 2;
  fourBits.pixelData = {0x10, 0x01, 0, 0, 0x01, 0x5F, 0, 0};
  const Case cases[] = {
      {"PNG, a palette of 4", indexedPng(4, {{0, 3, 7, 1}, {3, 15, 0, 5}}, 4), 2, 0, 7, 4,
       Bytes{0, 3, 7, 1, 3, 15, 0, 5}},
      {"bitmap, a colour table of 4", makeBitmap(bitmap), 1, 1, 9, 4,
       Bytes{0, 1, 2, 3, 1, 9, 0, 12}},
      {"bitmap of 4 bits, a colour table of 2", makeBitmap(fourBits), 2, 0, 5, 2,
       Bytes{0, 1, 5, 15, 1, 0, 0, 1}},
  };
  ScratchDirectory directory;
  for (const Case& c : cases) {
    const std::string path = directory.path("picture");
    writeFile(path, c.file);
    for (bool exact : {false, true}) {
      ImportOptions options;
      options.hasPalette = true;
      options.palette = greys(256);
      options.exactColours = exact;
      ImportedImage image{};
      const ImportOutcome refused = importPicture(path.c_str(), options, image);
      EXPECT_EQ(refused.problem, ImportProblem::kIndexPastPalette) << c.name;
      EXPECT_EQ(refused.x, c.x) << c.name;
      EXPECT_EQ(refused.y, c.y) << c.name;
      EXPECT_EQ(refused.detail, c.index) << c.name;
      EXPECT_EQ(refused.colour, static_cast<std::uint32_t>(c.entries)) << c.name;
      EXPECT_EQ(image.compressedData, nullptr) << c.name;
    }
    ImportedImage image{};
    ASSERT_TRUE(importPicture(path.c_str(), ImportOptions{}, image).ok()) << c.name;
    EXPECT_EQ(inflateStream(image.compressedData, static_cast<std::size_t>(image.compressedSize)),
              c.stored)
        << c.name;
    releaseImportedImage(image);
  }
}

// The last index a palette lists is a colour; the one just past it is not. 4 x 1 pictures whose
// palette lists 3 entries (or 2, at 4 bits a pixel), the highest index at x = 2.
TEST(IndexPastPalette, TheFirstIndexPastThePaletteIsRefusedAndTheLastListedIsNot) {
  struct Case {
    const char* name;
    int entries;
    std::function<Bytes(unsigned char)> file;  // of a picture whose third pixel has the index
  };
  const Case cases[] = {
      {"PNG", 3,
       [](unsigned char index) {
         return indexedPng(4, {{0, 1, index, 0}}, 3);
       }},
      {"bitmap", 3,
       [](unsigned char index) {
         BitmapFields fields;
         fields.width = 4;
         fields.height = 1;
         fields.paletteEntries = 3;
         fields.pixelData = {0, 1, index, 0};
         return makeBitmap(fields);
       }},
      {"bitmap of 4 bits", 2,
       [](unsigned char index) {
         BitmapFields fields;
         fields.width = 4;
         fields.height = 1;
         fields.bitCount = 4;
         fields.paletteEntries = 2;
         fields.pixelData = {0x01, static_cast<unsigned char>(index << 4), 0, 0};
         return makeBitmap(fields);
       }},
  };
  ScratchDirectory directory;
  const std::string path = directory.path("picture");
  ImportOptions options;
  options.hasPalette = true;
  options.palette = greys(256);
  for (const Case& c : cases) {
    const unsigned char last = static_cast<unsigned char>(c.entries - 1);
    writeFile(path, c.file(last));
    ImportedImage image{};
    ASSERT_TRUE(importPicture(path.c_str(), options, image).ok()) << c.name;
    EXPECT_EQ(inflateStream(image.compressedData, static_cast<std::size_t>(image.compressedSize)),
              (Bytes{0, 1, last, 0}))
        << c.name;
    releaseImportedImage(image);

    writeFile(path, c.file(static_cast<unsigned char>(c.entries)));
    const ImportOutcome refused = importPicture(path.c_str(), options, image);
    EXPECT_EQ(refused.problem, ImportProblem::kIndexPastPalette) << c.name;
    EXPECT_EQ(refused.x, 2) << c.name;
    EXPECT_EQ(refused.detail, c.entries) << c.name;
  }
}

}  // namespace
