// Any byte string as a palette file, read from memory. A palette read has 1 to 256 colours and
// black past them; a refusal leaves the caller's palette as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "palette_file.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "palette fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  bytes.push_back(0);
  std::FILE* file = fmemopen(bytes.data(), size, "rb");
  if (file == nullptr) return 0;
  Palette palette;
  std::memset(palette.entries, 0xA5, sizeof palette.entries);
  palette.colourCount = -3;
  const Palette before = palette;
  const PaletteOutcome outcome = readOpenedPalette(file, palette);
  std::fclose(file);
  if (!outcome.ok()) {
    if (std::memcmp(&before, &palette, sizeof palette) != 0) fail("refusal touched the palette");
    return 0;
  }
  if (palette.colourCount < 1 || palette.colourCount > 256) fail("colour count out of range");
  for (int i = 0; i < 256; ++i) {
    if (palette.entries[i][3] != 0) fail("the fourth byte of an entry is not 0");
    if (i >= palette.colourCount &&
        (palette.entries[i][0] | palette.entries[i][1] | palette.entries[i][2]) != 0) {
      fail("an entry past the colours is not black");
    }
  }
  return 0;
}
