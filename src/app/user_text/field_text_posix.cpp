#include "field_text.h"

namespace {

// Well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate, nothing past
// U+10FFFF.
bool isUtf8(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xC2 && lead < 0xE0 ? 2
                         : lead >= 0xE0 && lead < 0xF0 ? 3
                         : lead >= 0xF0 && lead < 0xF5 ? 4
                                                       : 0;
    if (length == 0 || at + length > text.size()) return false;
    unsigned code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    const unsigned smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
      return false;
    }
    at += length;
  }
  return true;
}

}  // namespace

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string&) {
  bytes = argument;
  return true;
}

bool argumentFromFieldBytes(const std::string& bytes, std::string& argument) {
  argument = bytes;
  return isUtf8(bytes);
}
