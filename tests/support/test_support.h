// Small tools shared by the library tests: bitmap files built byte by byte, a scratch directory,
// capturing what the import says on std::cout, and inflating a zlib stream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "picture_import.h"

using Bytes = std::vector<unsigned char>;

struct BitmapFields {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint8_t bitCount = 8;
  std::uint32_t infoSize = 40;  // 12: the OS/2 core header; below 40: the fields it reaches
  std::uint32_t paletteEntries = 256;
  std::uint32_t compression = 0;
  std::int64_t pixelOffset = -1;  // -1: right after the palette
  Bytes pixelData;                // exactly as it stands in the file (padding, RLE codes...)
};

Bytes makeBitmap(const BitmapFields& fields);

// The real encoders' pictures kept beside the tests: NAME.bmp and the palette indices it holds,
// top row first, as an independent decoder read them (NAME.indices).
struct Fixture {
  Bytes file;
  Bytes topRowFirst;
};
Fixture loadFixture(const std::string& name);

// Three stand-in pictures for the writer, which copies streams and never looks inside them.
struct Pictures {
  Bytes episodeStream{0x78, 0xDA, 1, 2, 3};
  Bytes titleStream{0x78, 0xDA, 4, 5, 6, 7, 8, 9, 10};
  Bytes lowtitleStream{0x78, 0xDA, 11};
  ImportedImage episode{320, 200, episodeStream.data(), 5};
  ImportedImage title{64, 48, titleStream.data(), 9};
  ImportedImage lowtitle{160, 20, lowtitleStream.data(), 3};
};

void putLe32(Bytes& bytes, std::size_t at, std::uint32_t value);
std::uint32_t getLe32(const Bytes& bytes, std::size_t at);

// PNG's pieces, for tests that make their own files: a 32-bit value most significant byte
// first, and a chunk (length, type, data, checksum) appended to `out`.
void putBigEndian(Bytes& out, std::uint32_t value);
void putChunk(Bytes& out, const char* type, const Bytes& data);
// An IHDR chunk's data: no interlacing, the standard compression and filter methods.
Bytes pngHeader(std::uint32_t width, std::uint32_t height, int depth, int colourType);

// A fresh directory, removed with its contents when the object goes.
struct ScratchDirectory {
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  std::string path(const std::string& name) const;
  std::vector<std::string> entries() const;
  std::string root;
};

// Makes `directory` the current directory until the object goes: the program takes names relative
// to it, and typed names are short.
struct InsideDirectory {
  explicit InsideDirectory(const std::string& directory);
  ~InsideDirectory();
  InsideDirectory(const InsideDirectory&) = delete;
  InsideDirectory& operator=(const InsideDirectory&) = delete;
  std::string previous;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

// Runs `action` with std::cout going into a string, and returns that string.
std::string captureCout(const std::function<void()>& action);

// Inflates a whole zlib stream; fails the current test if the stream is not one.
Bytes inflateStream(const unsigned char* stream, std::size_t size);
