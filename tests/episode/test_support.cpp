#include "test_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

void putLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t getLe32(const Bytes& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(at + i);
  return value;
}

Bytes makeBitmap(const BitmapFields& fields) {
  std::size_t headers = 14 + fields.infoSize;
  std::size_t dataStart = headers + 4 * fields.paletteEntries;
  Bytes bytes(dataStart, 0);
  for (std::uint32_t i = 0; i < fields.paletteEntries; ++i) {
    bytes[headers + 4 * i] = static_cast<unsigned char>(i);  // a grey ramp, never read
    bytes[headers + 4 * i + 1] = static_cast<unsigned char>(i);
    bytes[headers + 4 * i + 2] = static_cast<unsigned char>(i);
  }
  bytes[0] = 'B';
  bytes[1] = 'M';
  putLe32(bytes, 2, static_cast<std::uint32_t>(dataStart + fields.pixelData.size()));
  putLe32(bytes, 10,
          static_cast<std::uint32_t>(fields.pixelOffset < 0 ? dataStart : fields.pixelOffset));
  if (fields.infoSize >= 40) {
    putLe32(bytes, 14, fields.infoSize);
    putLe32(bytes, 18, static_cast<std::uint32_t>(fields.width));
    putLe32(bytes, 22, static_cast<std::uint32_t>(fields.height));
    bytes[26] = 1;
    bytes[28] = fields.bitCount;
    putLe32(bytes, 30, fields.compression);
    putLe32(bytes, 46, fields.paletteEntries);
  } else {
    putLe32(bytes, 14, fields.infoSize);
    if (bytes.size() > 28) bytes[28] = fields.bitCount;
  }
  bytes.insert(bytes.end(), fields.pixelData.begin(), fields.pixelData.end());
  return bytes;
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
