#include "memory_console.h"

#include <iostream>
#include <utility>

#include "console.h"

namespace {

MemoryConsole console;

// The code page 437 frame bytes that the menu writes, and what a console shows for them.
std::string codePage437Glyph(unsigned char byte) {
  switch (byte) {
    case 201:
      return "╔";
    case 187:
      return "╗";
    case 200:
      return "╚";
    case 188:
      return "╝";
    case 205:
      return "═";
    case 186:
      return "║";
    case 204:
      return "╠";
    case 185:
      return "╣";
    default:
      return "<" + std::to_string(byte) + ">";
  }
}

int utf8Length(unsigned char leadByte) {
  if (leadByte >= 0xF0) return 4;
  if (leadByte >= 0xE0) return 3;
  if (leadByte >= 0xC0) return 2;
  return 1;
}

Cell* cellUnderCursor() {
  MemoryScreen& screen = console.screen;
  if (screen.column < 1 || screen.column > MemoryScreen::kColumns || screen.row < 1 ||
      screen.row > MemoryScreen::kRows) {
    return nullptr;
  }
  return &screen.cells[(screen.row - 1) * MemoryScreen::kColumns + screen.column - 1];
}

}  // namespace

MemoryConsole& memoryConsole() { return console; }

ScreenWriter::int_type ScreenWriter::overflow(int_type value) {
  if (traits_type::eq_int_type(value, traits_type::eof())) return traits_type::not_eof(value);
  const auto byte = static_cast<unsigned char>(traits_type::to_char_type(value));
  if (byte == '\n') {
    console.screen.column = 1;
    ++console.screen.row;
  } else if (byte < 0x80) {
    putGlyph(std::string(1, static_cast<char>(byte)));
  } else if (console.encoding == FrameEncoding::kCodePage437) {
    putGlyph(codePage437Glyph(byte));
  } else if (console.encoding == FrameEncoding::kAscii) {
    putGlyph("<" + std::to_string(byte) + ">");  // no byte above 127 belongs in an ASCII frame
  } else {
    if (utf8Expected_ == 0) utf8Expected_ = utf8Length(byte);
    utf8Sequence_ += static_cast<char>(byte);
    if (static_cast<int>(utf8Sequence_.size()) == utf8Expected_) {
      putGlyph(std::move(utf8Sequence_));
      utf8Sequence_.clear();
      utf8Expected_ = 0;
    }
  }
  return value;
}

void ScreenWriter::putGlyph(std::string glyph) {
  if (Cell* cell = cellUnderCursor()) *cell = Cell{std::move(glyph), console.screen.attribute};
  ++console.screen.column;  // like the console, a printable character advances one cell
}

MemoryConsoleSession::MemoryConsoleSession(std::vector<KeyPress> keyPresses, FrameEncoding encoding)
    : previousBuffer(std::cout.rdbuf(&writer)) {
  console = MemoryConsole{};
  console.keyPresses.assign(keyPresses.begin(), keyPresses.end());
  console.encoding = encoding;
}

MemoryConsoleSession::~MemoryConsoleSession() { std::cout.rdbuf(previousBuffer); }

const Cell& cellAt(const MemoryScreen& screen, int column, int row) {
  return screen.cells.at((row - 1) * MemoryScreen::kColumns + column - 1);
}

std::string textAt(const MemoryScreen& screen, int column, int row, int length) {
  std::string text;
  for (int i = 0; i < length; ++i) {
    const Cell& cell = cellAt(screen, column + i, row);
    text += cell.glyph.empty() ? "·" : cell.glyph;
  }
  return text;
}

// --- console.h, acting on the memory screen. ---

void clearScreen() {
  for (Cell& cell : console.screen.cells) cell = Cell{" ", console.screen.attribute};
  console.screen.column = 1;
  console.screen.row = 1;
}

void setColors(std::int8_t background, std::int8_t foreground) {
  console.screen.attribute = static_cast<std::uint8_t>(background * 16 + foreground);
}

void moveCursor(std::int32_t column, std::int32_t row) {
  console.screen.column = column;
  console.screen.row = row;
  console.screen.cursorThin = true;
}

bool keyWaiting() { return !console.codesLeftOfPress.empty() || !console.keyPresses.empty(); }

bool waitForKey() { return keyWaiting(); }

int readKey() {
  std::cout.flush();
  if (console.codesLeftOfPress.empty()) {
    console.screensAtKeyPresses.push_back(console.screen);
    console.screen.cells.assign(console.screen.cells.size(), Cell{});
    if (console.keyPresses.empty()) return kNoKeyboard;
    const KeyPress& press = console.keyPresses.front();
    console.codesLeftOfPress.assign(press.begin(), press.end());
    console.keyPresses.pop_front();
  }
  const int code = console.codesLeftOfPress.front();
  console.codesLeftOfPress.pop_front();
  return code;
}

int readKeyOrResize() {
  const int code = readKey();
  if (code == kScreenResized && !console.sizesAtResizes.empty()) {
    console.columns = console.sizesAtResizes.front().first;
    console.rows = console.sizesAtResizes.front().second;
    console.sizesAtResizes.pop_front();
  }
  return code;
}

bool screenSize(std::int32_t& columns, std::int32_t& rows) {
  columns = console.columns;
  rows = console.rows;
  return true;
}

bool screenCanBeDrawn() { return true; }

void answerReadingBegins() {}
void answerReadingEnds() {}

bool consoleKeyboardPresent() { return true; }

FrameEncoding frameEncoding() { return console.encoding; }

void restoreConsole() {}
