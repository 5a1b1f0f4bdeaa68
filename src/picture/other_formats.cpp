#include "other_formats.h"

#include <cstring>

#include "file_open.h"

namespace {

bool startsWith(const unsigned char* bytes, std::size_t got, const char* magic, std::size_t size,
                std::size_t at = 0) {
  return got >= at + size && std::memcmp(bytes + at, magic, size) == 0;
}

// PCX: the maker byte 10, a version of 0, 2, 3, 4 or 5, run-length encoding 1, and a bit count
// a PCX has.
bool isPcx(const unsigned char* bytes, std::size_t got) {
  if (got < 4 || bytes[0] != 0x0A || bytes[2] != 1) return false;
  const unsigned version = bytes[1];
  const unsigned bits = bytes[3];
  return (version == 0 || (version >= 2 && version <= 5)) &&
         (bits == 1 || bits == 2 || bits == 4 || bits == 8);
}

// A TGA of the second version ends with "TRUEVISION-XFILE." and a zero byte; the first version
// has no signature at all, and is not told.
bool hasTgaFooter(std::FILE* file) {
  const std::int64_t size = fileSize(file);
  static const char kFooter[] = "TRUEVISION-XFILE.";
  if (size < 26 || std::fseek(file, static_cast<long>(size - 18), SEEK_SET) != 0) return false;
  char footer[18];
  return std::fread(footer, 1, sizeof footer, file) == sizeof footer &&
         std::memcmp(footer, kFooter, sizeof footer) == 0;
}

}  // namespace

OtherFormat recogniseOtherFormat(std::FILE* file) {
  unsigned char bytes[16] = {};
  std::rewind(file);
  const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
  if (startsWith(bytes, got, "\xFF\xD8\xFF", 3)) return OtherFormat::kJpeg;
  if (startsWith(bytes, got, "GIF87a", 6) || startsWith(bytes, got, "GIF89a", 6)) {
    return OtherFormat::kGif;
  }
  if (startsWith(bytes, got, "II*\0", 4) || startsWith(bytes, got, "MM\0*", 4)) {
    return OtherFormat::kTiff;
  }
  if (startsWith(bytes, got, "RIFF", 4) && startsWith(bytes, got, "WEBP", 4, 8)) {
    return OtherFormat::kWebp;
  }
  if (startsWith(bytes, got, "qoif", 4)) return OtherFormat::kQoi;
  if (isPcx(bytes, got)) return OtherFormat::kPcx;
  if (hasTgaFooter(file)) return OtherFormat::kTga;
  return OtherFormat::kUnknown;
}
