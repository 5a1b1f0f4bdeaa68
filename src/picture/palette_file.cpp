#include "palette_file.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "file_open.h"
#include "little_endian.h"

namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kCoreHeaderSize = 12;     // the old header: 16-bit sizes, 3-byte colours
constexpr std::uint32_t kSmallestOs2Header = 16;  // OS/2 2.x: the 40-byte fields it reaches
constexpr std::size_t kColourTableSize = 768;
constexpr std::size_t kCountedColourTableSize = 772;
// A text palette of 256 colours with names and comments stays far below this.
constexpr std::int64_t kLargestTextPalette = 1 << 20;
const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

PaletteOutcome paletteProblem(PaletteProblem kind, long long detail = 0) { return {kind, detail}; }

void setColour(Palette& palette, int index, int red, int green, int blue) {
  palette.entries[index][0] = static_cast<unsigned char>(blue);
  palette.entries[index][1] = static_cast<unsigned char>(green);
  palette.entries[index][2] = static_cast<unsigned char>(red);
  palette.entries[index][3] = 0;
}

bool readAt(std::FILE* file, std::int64_t offset, void* into, std::size_t size) {
  return offset <= std::numeric_limits<long>::max() &&
         std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fread(into, 1, size, file) == size;
}

// Fields read: 10 pixel offset, 14 information header size; with the 40-byte header and larger,
// 28 bit count and 46 colours used (0: all); with the 12-byte one, 24 bit count.
PaletteOutcome bitmapPalette(std::FILE* file, Palette& palette) {
  unsigned char header[kFileHeaderSize + kInfoHeaderSize] = {};
  std::rewind(file);
  std::size_t got = std::fread(header, 1, sizeof header, file);
  if (got < kFileHeaderSize + kCoreHeaderSize) return paletteProblem(PaletteProblem::kBitmapCut);
  const std::uint32_t infoSize = readLittleEndian(header + 14, 4);
  const bool core = infoSize == kCoreHeaderSize;
  if (!core && infoSize < kSmallestOs2Header) {
    return paletteProblem(PaletteProblem::kUnsupportedHeader, infoSize);
  }
  // An OS/2 2.x header stops part way through the 40-byte one: the fields it lacks count as 0.
  const std::size_t headerEnd = kFileHeaderSize + std::min<std::size_t>(infoSize, kInfoHeaderSize);
  if (!core && got < headerEnd) return paletteProblem(PaletteProblem::kBitmapCut);
  if (!core) std::fill(header + headerEnd, header + sizeof header, 0);
  const std::uint32_t bits = readLittleEndian(header + (core ? 24 : 28), 2);
  if (bits != 1 && bits != 4 && bits != 8) {
    return paletteProblem(PaletteProblem::kBitmapWithoutPalette, bits);
  }
  const std::uint32_t most = 1u << bits;
  std::uint32_t colours = core ? most : readLittleEndian(header + 46, 4);
  if (colours == 0 || colours > most) colours = most;
  const std::size_t entrySize = core ? 3 : 4;
  // As the import reads it: the palette ends where the pixels begin, whatever the count says.
  // A file with no pixel offset past the palette's start (a palette alone) gives all it counts.
  const std::int64_t paletteAt = std::int64_t{kFileHeaderSize} + infoSize;
  const std::int64_t pixelsAt = readLittleEndian(header + 10, 4);
  if (pixelsAt > paletteAt) {
    const std::int64_t room = (pixelsAt - paletteAt) / static_cast<std::int64_t>(entrySize);
    if (room < colours) colours = static_cast<std::uint32_t>(room);
    if (colours == 0) return paletteProblem(PaletteProblem::kPaletteMissing);
  }

  unsigned char listed[256 * 4];
  const std::size_t wanted = colours * entrySize;
  if (!readAt(file, paletteAt, listed, wanted)) {
    return paletteProblem(PaletteProblem::kPaletteMissing);
  }
  palette = Palette{};
  for (std::uint32_t i = 0; i < colours; ++i) {
    std::memcpy(palette.entries[i], listed + i * entrySize, 3);
  }
  palette.colourCount = static_cast<int>(colours);
  return {PaletteProblem::kNone, 0, PaletteForm::kBitmap};
}

// Walks the chunks up to the palette chunk; only the palette chunk's checksum is checked.
PaletteOutcome pngPalette(std::FILE* file, Palette& palette) {
  std::int64_t at = 8;
  std::vector<unsigned char> data;
  for (;;) {
    unsigned char head[8];
    if (!readAt(file, at, head, sizeof head))
      return paletteProblem(PaletteProblem::kPngDamaged, at);
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | head[i];
    const std::string type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") {
      return paletteProblem(PaletteProblem::kPngWithoutPalette);
    }
    if (length > 0x7FFFFFFFu) return paletteProblem(PaletteProblem::kPngDamaged, at);
    if (type != "PLTE") {
      // Other chunks are passed over; only the palette's own checksum matters here.
      at += 12 + std::int64_t{length};
      continue;
    }
    if (length == 0 || length % 3 != 0 || length > 768) {
      return paletteProblem(PaletteProblem::kBadColourCount, length / 3);
    }
    data.resize(length + 4);
    if (!readAt(file, at + 8, data.data(), data.size())) {
      return paletteProblem(PaletteProblem::kPngDamaged, at);
    }
    uLong crc = crc32(0L, head + 4, 4);
    crc = crc32(crc, data.data(), length);
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) stored = stored << 8 | data[length + i];
    if (crc != stored) return paletteProblem(PaletteProblem::kPngDamaged, at);
    palette = Palette{};
    const int colours = static_cast<int>(length / 3);
    for (int i = 0; i < colours; ++i) {
      setColour(palette, i, data[3 * i], data[3 * i + 1], data[3 * i + 2]);
    }
    palette.colourCount = colours;
    return {PaletteProblem::kNone, 0, PaletteForm::kPng};
  }
}

// Photoshop's colour table: 256 RGB triples, then (772 bytes) the count of colours used and the
// transparent index, both big-endian. A raw table whose every byte is at most 63 holds 6-bit VGA
// values, each scaled to 0..255 rounded to nearest.
PaletteOutcome colourTable(const std::vector<unsigned char>& bytes, Palette& palette) {
  int colours = 256;
  if (bytes.size() == kCountedColourTableSize) {
    colours = bytes[768] << 8 | bytes[769];
    if (colours < 1 || colours > 256) {
      return paletteProblem(PaletteProblem::kBadColourCount, colours);
    }
  }
  const bool sixBits =
      bytes.size() == kColourTableSize &&
      std::all_of(bytes.begin(), bytes.end(), [](unsigned char v) { return v <= 63; });
  Palette read{};
  for (int i = 0; i < colours; ++i) {
    int rgb[3];
    for (int c = 0; c < 3; ++c) {
      const int value = bytes[3 * i + c];
      rgb[c] = sixBits ? (value * 255 + 31) / 63 : value;
    }
    setColour(read, i, rgb[0], rgb[1], rgb[2]);
  }
  read.colourCount = colours;
  palette = read;
  PaletteOutcome outcome{PaletteProblem::kNone, 0, PaletteForm::kColourTable};
  outcome.sixBitValues = sixBits;
  return outcome;
}

// RIFF "PAL ": a "data" chunk holding a version, a count and red, green, blue, flags per colour.
PaletteOutcome riffPalette(const std::vector<unsigned char>& bytes, Palette& palette) {
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::uint32_t size = readLittleEndian(bytes.data() + at + 4, 4);
    if (std::memcmp(bytes.data() + at, "data", 4) != 0) {
      at += 8 + std::size_t{size} + size % 2;
      continue;
    }
    const std::size_t body = at + 8;
    if (body + 4 > bytes.size()) break;
    const int colours = static_cast<int>(readLittleEndian(bytes.data() + body + 2, 2));
    if (colours < 1 || colours > 256) {
      return paletteProblem(PaletteProblem::kBadColourCount, colours);
    }
    if (body + 4 + std::size_t(colours) * 4 > bytes.size()) break;
    Palette read{};
    for (int i = 0; i < colours; ++i) {
      const unsigned char* entry = bytes.data() + body + 4 + 4 * i;
      setColour(read, i, entry[0], entry[1], entry[2]);
    }
    read.colourCount = colours;
    palette = read;
    return {PaletteProblem::kNone, 0, PaletteForm::kRiff};
  }
  return paletteProblem(PaletteProblem::kPaletteMissing);
}

std::vector<std::string> linesOf(const std::vector<unsigned char>& bytes) {
  std::vector<std::string> lines(1);
  for (unsigned char byte : bytes) {
    if (byte == '\n') {
      lines.emplace_back();
    } else if (byte != '\r') {
      lines.back() += static_cast<char>(byte);
    }
  }
  return lines;
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Reads a whole number of 0..255 and the blanks after it; false when there is none.
bool readComponent(const std::string& line, std::size_t& at, int& value) {
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::size_t digits = 0;
  value = 0;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 4) {
    value = value * 10 + (line[at] - '0');
    ++at;
    ++digits;
  }
  return digits > 0 && value <= 255 && (at == line.size() || line[at] == ' ' || line[at] == '\t');
}

// "R G B" and, in a GIMP palette, a colour name after them.
bool readColourLine(const std::string& line, bool nameAllowed, int (&rgb)[3]) {
  std::size_t at = 0;
  for (int& component : rgb) {
    if (!readComponent(line, at, component)) return false;
  }
  return nameAllowed || trimmed(line.substr(at)).empty();
}

PaletteOutcome jascPalette(const std::vector<unsigned char>& bytes, Palette& palette) {
  const std::vector<std::string> lines = linesOf(bytes);
  if (lines.size() < 3) return paletteProblem(PaletteProblem::kBadColourCount, 0);
  const std::string countText = trimmed(lines[2]);
  int colours = 0;
  for (char c : countText) {
    if (c < '0' || c > '9' || colours > 1000) return paletteProblem(PaletteProblem::kBadEntry, 3);
    colours = colours * 10 + (c - '0');
  }
  if (colours < 1 || colours > 256) return paletteProblem(PaletteProblem::kBadColourCount, colours);
  Palette read{};
  for (int i = 0; i < colours; ++i) {
    const std::size_t line = 3 + static_cast<std::size_t>(i);
    int rgb[3];
    if (line >= lines.size() || !readColourLine(lines[line], false, rgb)) {
      return paletteProblem(PaletteProblem::kBadEntry, static_cast<long long>(line) + 1);
    }
    setColour(read, i, rgb[0], rgb[1], rgb[2]);
  }
  read.colourCount = colours;
  palette = read;
  return {PaletteProblem::kNone, 0, PaletteForm::kJasc};
}

bool gimpHeaderLine(const std::string& line) {
  return line.empty() || line[0] == '#' || line.compare(0, 5, "Name:") == 0 ||
         line.compare(0, 8, "Columns:") == 0;
}

PaletteOutcome gimpPalette(const std::vector<unsigned char>& bytes, Palette& palette) {
  const std::vector<std::string> lines = linesOf(bytes);
  Palette read{};
  int colours = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string line = trimmed(lines[i]);
    if (gimpHeaderLine(line)) continue;
    int rgb[3];
    if (!readColourLine(line, true, rgb)) {
      return paletteProblem(PaletteProblem::kBadEntry, static_cast<long long>(i) + 1);
    }
    if (colours == 256) return paletteProblem(PaletteProblem::kBadColourCount, 257);
    setColour(read, colours++, rgb[0], rgb[1], rgb[2]);
  }
  if (colours == 0) return paletteProblem(PaletteProblem::kBadColourCount, 0);
  read.colourCount = colours;
  palette = read;
  return {PaletteProblem::kNone, 0, PaletteForm::kGimp};
}

bool startsWith(const std::vector<unsigned char>& bytes, const char* text) {
  const std::size_t length = std::strlen(text);
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

PaletteOutcome smallFormPalette(std::FILE* file, std::int64_t size, Palette& palette) {
  if (size > kLargestTextPalette) return paletteProblem(PaletteProblem::kUnknownForm);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  if (!readAt(file, 0, bytes.data(), bytes.size())) {
    return paletteProblem(PaletteProblem::kCannotOpen);
  }
  const bool table = bytes.size() == kColourTableSize || bytes.size() == kCountedColourTableSize;
  PaletteOutcome outcome = paletteProblem(PaletteProblem::kUnknownForm);
  if (startsWith(bytes, "RIFF") && bytes.size() >= 12 && std::memcmp(&bytes[8], "PAL ", 4) == 0) {
    outcome = riffPalette(bytes, palette);
  } else if (startsWith(bytes, "JASC-PAL")) {
    outcome = jascPalette(bytes, palette);
  } else if (startsWith(bytes, "GIMP Palette")) {
    outcome = gimpPalette(bytes, palette);
  }
  // A colour table is bytes alone, so it comes last: only when no other form claims the file.
  if (!outcome.ok() && table) return colourTable(bytes, palette);
  return outcome;
}

}  // namespace

PaletteOutcome readOpenedPalette(std::FILE* file, Palette& palette) {
  const std::int64_t size = fileSize(file);
  if (size < 0) return paletteProblem(PaletteProblem::kCannotOpen);
  unsigned char start[8] = {};
  const bool signature = readAt(file, 0, start, sizeof start);
  const bool table = size == kColourTableSize || size == kCountedColourTableSize;
  PaletteOutcome outcome = paletteProblem(PaletteProblem::kUnknownForm);
  if (size >= 2 && start[0] == 'B' && start[1] == 'M') {
    outcome = bitmapPalette(file, palette);
  } else if (signature && std::memcmp(start, kPngSignature, 8) == 0) {
    outcome = pngPalette(file, palette);
  } else {
    return smallFormPalette(file, size, palette);
  }
  if (!outcome.ok() && table) return smallFormPalette(file, size, palette);
  return outcome;
}

PaletteOutcome readPalette(const char* path, Palette& palette) {
  FileHandle file(openForReading(path));
  if (!file) return paletteProblem(PaletteProblem::kCannotOpen);
  return readOpenedPalette(file.get(), palette);
}
