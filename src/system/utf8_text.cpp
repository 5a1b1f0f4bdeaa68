#include "utf8_text.h"

namespace {

// The length a lead byte announces; 0 for a byte no character starts with.
std::size_t announcedLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead < 0xE0) return 2;
  if (lead >= 0xE0 && lead < 0xF0) return 3;
  if (lead >= 0xF0 && lead < 0xF5) return 4;
  return 0;
}

}  // namespace

std::size_t firstNonUtf8(const std::string& text) {
  static const unsigned kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = announcedLength(lead);
    if (length == 0 || length > text.size() - at) return at;
    unsigned code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return at;
      code = code << 6 | (next & 0x3Fu);
    }
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
      return at;
    }
    at += length;
  }
  return std::string::npos;
}
