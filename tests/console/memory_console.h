// A console backend for tests: the screen is a grid of cells in memory, and keys come from a
// script. What the code under test writes to std::cout lands in the grid at the cursor, in the
// colours last set, while a MemoryConsoleSession is alive.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "console.h"

struct Cell {
  std::string glyph;  // UTF-8; empty for a cell nothing was written to
  std::uint8_t attribute = 0;
};

struct MemoryScreen {
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;
  std::vector<Cell> cells = std::vector<Cell>(kColumns * kRows);
  int column = 1;  // cursor, 1-based as at the console's interface
  int row = 1;
  std::uint8_t attribute = 0x07;
  bool cursorThin = false;
};

// One key press as the console runtime gives it: one code, or a prefix (0 or 224) and a code.
using KeyPress = std::vector<int>;

struct MemoryConsole {
  MemoryScreen screen;
  // When each key press is read: the screen as drawn since the press before, after which it
  // starts blank again. A screen in this list is therefore a redraw, never leftovers.
  std::vector<MemoryScreen> screensAtKeyPresses;
  std::deque<KeyPress> keyPresses;  // when they run out, readKey reports kNoKeyboard: no hang
  std::deque<int> codesLeftOfPress;
  FrameEncoding encoding = FrameEncoding::kCodePage437;
  // The size screenSize reports; a key press {kScreenResized} takes the next size of the list.
  int columns = MemoryScreen::kColumns;
  int rows = MemoryScreen::kRows;
  std::deque<std::pair<int, int>> sizesAtResizes;
};

// The console that the backend functions of console.h act on.
MemoryConsole& memoryConsole();

// Turns the bytes written to std::cout into cells, decoding code page 437 frame bytes or UTF-8
// as the console's encoding says.
class ScreenWriter : public std::streambuf {
 protected:
  int_type overflow(int_type byte) override;

 private:
  void putGlyph(std::string glyph);
  std::string utf8Sequence_;
  int utf8Expected_ = 0;
};

// Fresh screen, the given key presses and encoding; std::cout goes into the screen until destroyed.
struct MemoryConsoleSession {
  MemoryConsoleSession(std::vector<KeyPress> keyPresses, FrameEncoding encoding);
  ~MemoryConsoleSession();
  MemoryConsoleSession(const MemoryConsoleSession&) = delete;
  MemoryConsoleSession& operator=(const MemoryConsoleSession&) = delete;

  ScreenWriter writer;
  std::streambuf* previousBuffer;
};

const Cell& cellAt(const MemoryScreen& screen, int column, int row);

// The glyphs of `length` cells from (column, row), "·" for each cell never written.
std::string textAt(const MemoryScreen& screen, int column, int row, int length);
