#include "menu.h"

#include <iostream>
#include <string>

#include "console.h"

namespace {

constexpr int kEnterKey = 13;
constexpr int kUpKey = 72;    // also the letter H: the menu looks only at the final code
constexpr int kDownKey = 80;  // also the letter P
constexpr int kMenuWidth = 22;

enum FrameGlyph {
  kTopLeft,
  kTopRight,
  kBottomLeft,
  kBottomRight,
  kHorizontal,
  kVertical,
  kSeparatorLeft,
  kSeparatorRight
};

// The frame is drawn in code page 437 (the bytes a Windows console shows as double lines) unless
// the terminal decodes UTF-8, where those bytes would be invalid: then the same glyphs in UTF-8.
// A terminal that can show neither gets ASCII, one character per cell like the others.
const char* frameGlyph(FrameGlyph glyph) {
  static const char* const kCodePage437[] = {"\xC9", "\xBB", "\xC8", "\xBC",
                                             "\xCD", "\xBA", "\xCC", "\xB9"};
  // ╔ ╗ ╚ ╝ ═ ║ ╠ ╣, spelt as bytes so the source's own encoding cannot change them.
  static const char* const kUtf8[] = {"\xE2\x95\x94", "\xE2\x95\x97", "\xE2\x95\x9A",
                                      "\xE2\x95\x9D", "\xE2\x95\x90", "\xE2\x95\x91",
                                      "\xE2\x95\xA0", "\xE2\x95\xA3"};
  static const char* const kAscii[] = {"+", "+", "+", "+", "=", "|", "+", "+"};
  switch (frameEncoding()) {
    case FrameEncoding::kUtf8:
      return kUtf8[glyph];
    case FrameEncoding::kCodePage437:
      return kCodePage437[glyph];
    case FrameEncoding::kAscii:
      break;
  }
  return kAscii[glyph];
}

void writeBorderLine(std::int32_t column, std::int32_t row, std::int32_t width, FrameGlyph left,
                     FrameGlyph right) {
  moveCursor(column, row);
  std::cout << frameGlyph(left);
  const char* horizontal = frameGlyph(kHorizontal);
  for (std::int32_t i = 0; i < width - 2; ++i) std::cout << horizontal;
  std::cout << frameGlyph(right);
}

// The key that a press stands for: a two-code key (prefix 0 or 224) counts by its second code,
// so prefixed and plain codes are treated alike. kNoKeyboard when no key can ever come,
// kScreenResized when the screen changed size first.
int readMenuKey() {
  int key = readKeyOrResize();
  if (key == 0 || key == 224) key = readKey();
  return key;
}

constexpr char kTooSmallNotice[] = "Terminal too small for the menu (24 x 8 needed)";
constexpr char kTooSmallShortNotice[] = "Too small (24x8)";

// Whether the whole frame fits on the screen; a screen of unknown size is taken to fit.
bool menuFits(const MenuDescriptor& menu, std::int32_t column, std::int32_t row,
              std::int32_t& screenColumns) {
  std::int32_t rows = 0;
  screenColumns = 0;
  if (!screenSize(screenColumns, rows)) return true;
  const std::int32_t lastColumn = column + kMenuWidth - 1;
  const std::int32_t lastRow = row + menu.itemCount + 3;
  return screenColumns >= lastColumn && rows >= lastRow;
}

// In place of a frame that the terminal would wrap into a jumble: one line, cut to the width so
// that it does not wrap either.
void showTooSmallNotice(std::int32_t screenColumns) {
  clearScreen();
  setColors(0, 7);
  moveCursor(1, 1);
  const auto width = static_cast<std::size_t>(screenColumns);
  std::string notice = kTooSmallNotice;
  if (notice.size() > width) notice = kTooSmallShortNotice;
  if (notice.size() > width) notice.resize(width);
  std::cout << notice;
}

}  // namespace

void drawBox(std::int32_t column, std::int32_t row, std::int32_t width, std::int32_t height) {
  setColors(0, 7);
  writeBorderLine(column, row, width, kTopLeft, kTopRight);
  const char* vertical = frameGlyph(kVertical);
  for (std::int32_t i = 1; i < height; ++i) {
    moveCursor(column, row + i);
    std::cout << vertical;
    moveCursor(column + width - 1, row + i);
    std::cout << vertical;
  }
  writeBorderLine(column, row + height, width, kBottomLeft, kBottomRight);
  // Drawn last, over the two side glyphs already on that row.
  writeBorderLine(column, row + 2, width, kSeparatorLeft, kSeparatorRight);
}

void drawMenu(const MenuDescriptor& menu, std::int16_t column, std::int16_t row) {
  drawBox(column, row, kMenuWidth, menu.itemCount + 3);
  moveCursor(column + 1, row + 1);
  std::cout << menu.texts[0];
  for (std::int32_t item = 1; item <= menu.itemCount; ++item) {
    moveCursor(column + 1, row + 2 + item);
    if (item == menu.highlightedItem) {
      setColors(1, 15);
    } else {
      setColors(0, 7);
    }
    std::cout << menu.texts[item];
  }
  setColors(0, 7);
}

std::int16_t runMenu(MenuDescriptor menu, std::int16_t column, std::int16_t row) {
  for (;;) {
    std::int32_t screenColumns = 0;
    const bool fits = menuFits(menu, column, row, screenColumns);
    if (fits) {
      drawMenu(menu, column, row);
    } else {
      showTooSmallNotice(screenColumns);
    }
    const int key = readMenuKey();
    if (key == kNoKeyboard) return kMenuNoKeyboard;
    if (key == kScreenResized) {
      clearScreen();  // the terminal may have rewrapped or scrolled what was drawn
      continue;
    }
    if (!fits) continue;  // nothing is chosen or moved on a menu that cannot be seen
    if (key == kEnterKey) return menu.highlightedItem;
    if (key == kUpKey && menu.highlightedItem > 1) --menu.highlightedItem;
    if (key == kDownKey && menu.highlightedItem < menu.itemCount) ++menu.highlightedItem;
  }
}
