#include "test_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

void putLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

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

Bytes pngHeader(std::uint32_t width, std::uint32_t height, int depth, int colourType) {
  Bytes header;
  putBigEndian(header, width);
  putBigEndian(header, height);
  header.insert(header.end(), {static_cast<unsigned char>(depth),
                               static_cast<unsigned char>(colourType), 0, 0, 0});
  return header;
}

std::uint32_t getLe32(const Bytes& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(at + i);
  return value;
}

Bytes makeBitmap(const BitmapFields& fields) {
  const bool core = fields.infoSize == 12;
  const std::size_t entrySize = core ? 3 : 4;
  const std::size_t headers = 14 + fields.infoSize;
  const std::size_t dataStart = headers + entrySize * fields.paletteEntries;

  // Every field of the 40-byte information header, of which the file keeps as many as its
  // header size reaches.
  Bytes fullHeaders(54, 0);
  fullHeaders[0] = 'B';
  fullHeaders[1] = 'M';
  putLe32(fullHeaders, 2, static_cast<std::uint32_t>(dataStart + fields.pixelData.size()));
  putLe32(fullHeaders, 10,
          static_cast<std::uint32_t>(fields.pixelOffset < 0 ? dataStart : fields.pixelOffset));
  putLe32(fullHeaders, 14, fields.infoSize);
  if (core) {  // 16-bit width and height, then planes and bit count
    putLe32(fullHeaders, 18,
            (static_cast<std::uint32_t>(fields.width) & 0xFFFF) |
                (static_cast<std::uint32_t>(fields.height) << 16));
    fullHeaders[22] = 1;
    fullHeaders[24] = fields.bitCount;
  } else {
    putLe32(fullHeaders, 18, static_cast<std::uint32_t>(fields.width));
    putLe32(fullHeaders, 22, static_cast<std::uint32_t>(fields.height));
    fullHeaders[26] = 1;
    fullHeaders[28] = fields.bitCount;
    putLe32(fullHeaders, 30, fields.compression);
    putLe32(fullHeaders, 46, fields.paletteEntries);
  }

  Bytes bytes(dataStart, 0);
  std::copy_n(fullHeaders.begin(), std::min(headers, fullHeaders.size()), bytes.begin());
  for (std::uint32_t i = 0; i < fields.paletteEntries; ++i) {
    for (std::size_t c = 0; c < 3; ++c) {  // a grey ramp, never read
      bytes[headers + entrySize * i + c] = static_cast<unsigned char>(i);
    }
  }
  bytes.insert(bytes.end(), fields.pixelData.begin(), fields.pixelData.end());
  return bytes;
}

Fixture loadFixture(const std::string& name) {
  // Sources are compiled under their full path, so the pictures are found from this file's folder.
  const std::filesystem::path folder =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "picture" / "pictures";
  Fixture fixture{readFile((folder / (name + ".bmp")).string()),
                  readFile((folder / (name + ".indices")).string())};
  EXPECT_FALSE(fixture.file.empty()) << name << ": no such picture in " << folder;
  EXPECT_FALSE(fixture.topRowFirst.empty()) << name << ": no indices in " << folder;
  return fixture;
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "divovod-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  root = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

std::string ScratchDirectory::path(const std::string& name) const { return root + "/" + name; }

std::vector<std::string> ScratchDirectory::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

InsideDirectory::InsideDirectory(const std::string& directory)
    : previous(std::filesystem::current_path().string()) {
  std::filesystem::current_path(directory);
}

InsideDirectory::~InsideDirectory() { std::filesystem::current_path(previous); }

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string captureCout(const std::function<void()>& action) {
  std::ostringstream captured;
  std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
  action();
  std::cout.rdbuf(original);
  return captured.str();
}

Bytes inflateStream(const unsigned char* stream, std::size_t size) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = const_cast<unsigned char*>(stream);
  z.avail_in = static_cast<uInt>(size);
  Bytes out;
  unsigned char chunk[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  }
  EXPECT_EQ(status, Z_STREAM_END) << "not one complete zlib stream";
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
  inflateEnd(&z);
  return out;
}
