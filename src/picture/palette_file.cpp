#include "palette_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "decoded_picture.h"
#include "file_open.h"
#include "little_endian.h"
#include "picture_import.h"
#include "png_check.h"
#include "png_decoder.h"

namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kCoreHeaderSize = 12;     // the old header: 16-bit sizes, 3-byte colours
constexpr std::uint32_t kSmallestOs2Header = 16;  // OS/2 2.x: the 40-byte fields it reaches
constexpr std::size_t kColourTableSize = 768;
constexpr std::size_t kCountedColourTableSize = 772;
const unsigned char kUtf8Mark[3] = {0xEF, 0xBB, 0xBF};  // what some editors put before text
constexpr std::size_t kJascCountLine = 3;

PaletteOutcome paletteProblem(PaletteProblem kind, long long detail = 0) { return {kind, detail}; }

void setColour(Palette& palette, int index, int red, int green, int blue) {
  palette.entries[index][0] = static_cast<unsigned char>(blue);
  palette.entries[index][1] = static_cast<unsigned char>(green);
  palette.entries[index][2] = static_cast<unsigned char>(red);
  palette.entries[index][3] = 0;
}

std::uint32_t readBigEndian32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | bytes[3];
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

// Only the first bytes of a PNG's header, before the checks: its claimed size. A PNG of a few
// megabytes can claim gigabytes of pixels, which the checks would inflate and the decoder fill
// before the palette is taken; a palette file is refused for that at once. Whatever else is
// wrong with the header is the checks' to say.
PaletteOutcome pngPictureSize(std::FILE* file) {
  unsigned char start[24];
  if (!readAt(file, 0, start, sizeof start) || std::memcmp(start + 8, "\0\0\0\x0DIHDR", 8) != 0) {
    return {};
  }
  PaletteOutcome claim;
  claim.width = readBigEndian32(start + 16);
  claim.height = readBigEndian32(start + 20);
  // Two 32-bit sizes multiply within 64 bits unsigned, not signed.
  const std::uint64_t pixels = std::uint64_t{claim.width} * claim.height;
  if (pixels <= static_cast<std::uint64_t>(kMostPicturePalettePixels)) return {};
  claim.problem = PaletteProblem::kPictureTooLarge;
  claim.form = PaletteForm::kPng;
  return claim;
}

PaletteOutcome pngRefused(const ImportOutcome& refusal) {
  PaletteOutcome outcome{PaletteProblem::kPngRefused, refusal.detail, PaletteForm::kPng};
  outcome.pngProblem = refusal.problem;
  return outcome;
}

// A PNG palette file passes the checks every PNG picture passes, and its palette is the one the
// decoder gives: whatever a picture would be refused for, the palette file is refused for too.
PaletteOutcome pngPalette(std::FILE* file, Palette& palette) {
  const PaletteOutcome claim = pngPictureSize(file);
  if (!claim.ok()) return claim;
  PngFacts facts;
  const ImportOutcome checked = checkPng(file, facts);
  if (!checked.ok()) return pngRefused(checked);
  DecodedPicture picture;
  const ImportOutcome decoded = pngIsIndexed(facts) ? decodePng(file, facts, picture)
                                                    : ImportOutcome{ImportProblem::kNeedsPalette};
  if (!decoded.ok()) {
    // As for a picture (png_check.h): the checks' inflater may have passed image data that
    // zlib refuses, and then that fault is the reason on every platform.
    const ImportOutcome stream = confirmPngStream(file);
    if (!stream.ok()) return pngRefused(stream);
    if (decoded.problem == ImportProblem::kNeedsPalette) {
      return paletteProblem(PaletteProblem::kPngWithoutPalette);
    }
    return pngRefused(decoded);
  }
  palette = Palette{};
  for (int i = 0; i < picture.paletteCount; ++i) {
    const unsigned char* rgba = picture.palette[i];
    setColour(palette, i, rgba[0], rgba[1], rgba[2]);
  }
  palette.colourCount = picture.paletteCount;
  return {PaletteProblem::kNone, 0, PaletteForm::kPng};
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

// The lines of a text palette, CR LF or LF, a UTF-8 byte order mark before the first left out.
std::vector<std::string> linesOf(const std::vector<unsigned char>& bytes) {
  std::vector<std::string> lines(1);
  const bool marked = bytes.size() >= 3 && std::memcmp(bytes.data(), kUtf8Mark, 3) == 0;
  for (std::size_t i = marked ? 3 : 0; i < bytes.size(); ++i) {
    const unsigned char byte = bytes[i];
    if (byte == '\n') {
      lines.emplace_back();
    } else if (byte != '\r') {
      lines.back() += static_cast<char>(byte);
    }
  }
  if (lines.size() > 1 && lines.back().empty()) lines.pop_back();  // the last line's own end
  return lines;
}

PaletteOutcome tooManyLines(const std::vector<std::string>& lines, PaletteForm form) {
  return {PaletteProblem::kTooManyLines, static_cast<long long>(lines.size()), form};
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

// The JASC-PAL count line: a whole number, or kNoColourCount. Nine digits are more than any
// count and still fit, so a wrong count is said as it was written.
long long jascCount(const std::vector<std::string>& lines) {
  if (lines.size() < kJascCountLine) return kNoColourCount;
  const std::string text = trimmed(lines[kJascCountLine - 1]);
  if (text.empty() || text.size() > 9) return kNoColourCount;
  long long count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kNoColourCount;
    count = count * 10 + (c - '0');
  }
  return count;
}

PaletteOutcome jascPalette(const std::vector<unsigned char>& bytes, Palette& palette) {
  const std::vector<std::string> lines = linesOf(bytes);
  if (lines.size() > kMostTextPaletteLines) return tooManyLines(lines, PaletteForm::kJasc);
  const long long count = jascCount(lines);
  if (count < 1 || count > 256) {
    PaletteOutcome outcome = paletteProblem(PaletteProblem::kBadColourCount, count);
    outcome.line = kJascCountLine;
    return outcome;
  }
  const int colours = static_cast<int>(count);
  Palette read{};
  for (int i = 0; i < colours; ++i) {
    const std::size_t line = kJascCountLine + static_cast<std::size_t>(i);
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
  if (lines.size() > kMostTextPaletteLines) return tooManyLines(lines, PaletteForm::kGimp);
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

bool startsWith(const unsigned char* bytes, std::size_t size, const char* text) {
  const std::size_t length = std::strlen(text);
  return size >= length && std::memcmp(bytes, text, length) == 0;
}

bool isColourTableSize(std::int64_t size) {
  return size == static_cast<std::int64_t>(kColourTableSize) ||
         size == static_cast<std::int64_t>(kCountedColourTableSize);
}

// The form the file's first bytes (and, for a colour table, which is bytes alone, its size)
// tell; read as that form or not at all.
PaletteForm formOf(const unsigned char* start, std::size_t got, std::int64_t size) {
  if (startsWith(start, got, "BM")) return PaletteForm::kBitmap;
  if (hasPngSignature(start, got)) return PaletteForm::kPng;
  if (startsWith(start, got, "RIFF") && got >= 12 && std::memcmp(start + 8, "PAL ", 4) == 0) {
    return PaletteForm::kRiff;
  }
  const std::size_t mark = got >= 3 && std::memcmp(start, kUtf8Mark, 3) == 0 ? 3 : 0;
  if (startsWith(start + mark, got - mark, "JASC-PAL")) return PaletteForm::kJasc;
  if (startsWith(start + mark, got - mark, "GIMP Palette")) return PaletteForm::kGimp;
  if (isColourTableSize(size)) return PaletteForm::kColourTable;
  return PaletteForm::kUnknown;
}

std::int64_t largestFileOf(PaletteForm form) {
  switch (form) {
    case PaletteForm::kBitmap:
    case PaletteForm::kPng:
      return kLargestPicturePalette;
    default:
      return kLargestTextPalette;
  }
}

// The forms read whole into memory: text, RIFF and colour tables, all within kLargestTextPalette.
PaletteOutcome wholeFilePalette(std::FILE* file, std::int64_t size, PaletteForm form,
                                Palette& palette) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  if (!readAt(file, 0, bytes.data(), bytes.size())) {
    return paletteProblem(PaletteProblem::kCannotOpen);
  }
  PaletteOutcome outcome = paletteProblem(PaletteProblem::kUnknownForm);
  if (form == PaletteForm::kRiff) outcome = riffPalette(bytes, palette);
  if (form == PaletteForm::kJasc) outcome = jascPalette(bytes, palette);
  if (form == PaletteForm::kGimp) outcome = gimpPalette(bytes, palette);
  // A colour table is bytes alone, so it is taken only when the form the file starts with fails.
  if (!outcome.ok() && isColourTableSize(size)) return colourTable(bytes, palette);
  return outcome;
}

}  // namespace

PaletteOutcome readOpenedPalette(std::FILE* file, Palette& palette) {
  const std::int64_t size = fileSize(file);
  if (size < 0) return paletteProblem(PaletteProblem::kCannotOpen);
  unsigned char start[16] = {};
  const std::size_t got = static_cast<std::size_t>(std::min<std::int64_t>(size, sizeof start));
  if (!readAt(file, 0, start, got)) return paletteProblem(PaletteProblem::kCannotOpen);
  const PaletteForm form = formOf(start, got, size);
  if (form == PaletteForm::kUnknown) return paletteProblem(PaletteProblem::kUnknownForm);
  if (size > largestFileOf(form)) return {PaletteProblem::kTooLarge, size, form};
  if (form == PaletteForm::kPng) return pngPalette(file, palette);
  if (form != PaletteForm::kBitmap) return wholeFilePalette(file, size, form, palette);
  const PaletteOutcome outcome = bitmapPalette(file, palette);
  // A colour table may start with the letters B M: its first red and green.
  if (!outcome.ok() && isColourTableSize(size)) {
    return wholeFilePalette(file, size, PaletteForm::kColourTable, palette);
  }
  return outcome;
}

PaletteOutcome readPalette(const char* path, Palette& palette) {
  FileHandle file(openForReading(path));
  if (!file) return paletteProblem(PaletteProblem::kCannotOpen);
  return readOpenedPalette(file.get(), palette);
}
