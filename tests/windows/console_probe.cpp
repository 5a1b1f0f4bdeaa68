#include "console_probe.h"

#include <cstdio>

namespace {

// The program's own handle on the input queue, with the write access that WriteConsoleInputA
// needs; the backend reads the same queue through a handle of its own.
HANDLE inputQueue() {
  static const HANDLE queue =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  return queue;
}

INPUT_RECORD keyEvent(bool down, WORD virtualKey, char character, DWORD modifiers) {
  INPUT_RECORD event = {};
  event.EventType = KEY_EVENT;
  KEY_EVENT_RECORD& key = event.Event.KeyEvent;
  key.bKeyDown = down ? TRUE : FALSE;
  key.wRepeatCount = 1;
  key.wVirtualKeyCode = virtualKey;
  key.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC));
  key.uChar.AsciiChar = character;
  key.dwControlKeyState = modifiers;
  return event;
}

}  // namespace

HANDLE screenHandle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

CONSOLE_SCREEN_BUFFER_INFO screenInfo() {
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  GetConsoleScreenBufferInfo(screenHandle(), &info);
  return info;
}

CONSOLE_CURSOR_INFO cursorInfo() {
  CONSOLE_CURSOR_INFO info = {};
  GetConsoleCursorInfo(screenHandle(), &info);
  return info;
}

std::vector<Cell> readCells(COORD from, DWORD count) {
  std::vector<wchar_t> glyphs(count, L'?');
  std::vector<WORD> attributes(count, 0xFFFF);
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screenHandle(), glyphs.data(), count, from, &read);
  ReadConsoleOutputAttribute(screenHandle(), attributes.data(), count, from, &read);
  std::vector<Cell> cells(count);
  for (DWORD i = 0; i < count; ++i) cells[i] = {glyphs[i], attributes[i]};
  return cells;
}

void fillScreen(char glyph, WORD attribute) {
  const CONSOLE_SCREEN_BUFFER_INFO info = screenInfo();
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  DWORD written = 0;
  FillConsoleOutputCharacterA(screenHandle(), glyph, cells, {0, 0}, &written);
  FillConsoleOutputAttribute(screenHandle(), attribute, cells, {0, 0}, &written);
}

INPUT_RECORD keyDown(WORD virtualKey, char character, DWORD modifiers) {
  return keyEvent(true, virtualKey, character, modifiers);
}

INPUT_RECORD keyUp(WORD virtualKey, char character, DWORD modifiers) {
  return keyEvent(false, virtualKey, character, modifiers);
}

INPUT_RECORD focusEvent() {
  INPUT_RECORD event = {};
  event.EventType = FOCUS_EVENT;
  event.Event.FocusEvent.bSetFocus = TRUE;
  return event;
}

INPUT_RECORD mouseMove() {
  INPUT_RECORD event = {};
  event.EventType = MOUSE_EVENT;
  event.Event.MouseEvent.dwMousePosition = {5, 5};
  event.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
  return event;
}

INPUT_RECORD resizeEvent() {
  INPUT_RECORD event = {};
  event.EventType = WINDOW_BUFFER_SIZE_EVENT;
  event.Event.WindowBufferSizeEvent.dwSize = {80, 25};
  return event;
}

void settleInput() {
  do {
    FlushConsoleInputBuffer(inputQueue());
  } while (WaitForSingleObject(inputQueue(), 300) == WAIT_OBJECT_0);
}

bool queueEvents(const std::vector<INPUT_RECORD>& events) {
  FlushConsoleInputBuffer(inputQueue());
  DWORD written = 0;
  return WriteConsoleInputA(inputQueue(), events.data(), static_cast<DWORD>(events.size()),
                            &written) &&
         written == events.size();
}

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%#x", value);
  return text;
}

namespace {

void put(Grid& grid, int column, int row, wchar_t glyph, WORD attribute = 0x07) {
  grid[static_cast<std::size_t>((row - 1) * kGridColumns + column - 1)] = {glyph, attribute};
}

void putText(Grid& grid, int column, int row, const char* text, WORD attribute) {
  for (int i = 0; text[i] != '\0'; ++i) put(grid, column + i, row, text[i], attribute);
}

}  // namespace

// The main menu at column 3, row 3, as the console must show it, in any code page.
Grid expectedMainMenu(int highlightedItem) {
  Grid grid(kGridColumns * kGridRows, Cell{L' ', 0x07});
  for (int column = 4; column <= 23; ++column) {
    for (int row : {3, 5, 8}) put(grid, column, row, L'\x2550');  // ═
  }
  for (int row : {4, 6, 7}) {
    put(grid, 3, row, L'\x2551');  // ║
    put(grid, 24, row, L'\x2551');
  }
  put(grid, 3, 3, L'\x2554');   // ╔
  put(grid, 24, 3, L'\x2557');  // ╗
  put(grid, 3, 5, L'\x2560');   // ╠
  put(grid, 24, 5, L'\x2563');  // ╣
  put(grid, 3, 8, L'\x255A');   // ╚
  put(grid, 24, 8, L'\x255D');  // ╝
  putText(grid, 4, 4, "Z4K DIVOVOD", 0x07);
  putText(grid, 4, 6, "Create new", highlightedItem == 1 ? 0x1F : 0x07);
  putText(grid, 4, 7, "Quit", highlightedItem == 2 ? 0x1F : 0x07);
  return grid;
}

Grid screenGrid() {
  Grid grid;
  for (SHORT row = 0; row < kGridRows; ++row) {
    const std::vector<Cell> cells = readCells({0, row}, kGridColumns);
    grid.insert(grid.end(), cells.begin(), cells.end());
  }
  return grid;
}

// The first few cells that differ, as "column,row: got glyph/attribute, want glyph/attribute".
std::string differences(const Grid& got, const Grid& want) {
  std::string text;
  int shown = 0;
  for (std::size_t i = 0; i < want.size() && shown < 6; ++i) {
    if (got[i].glyph == want[i].glyph && got[i].attribute == want[i].attribute) continue;
    text += std::to_string(i % kGridColumns + 1) + "," + std::to_string(i / kGridColumns + 1) +
            ": got " + hex(got[i].glyph) + "/" + hex(got[i].attribute) + " want " +
            hex(want[i].glyph) + "/" + hex(want[i].attribute) + "; ";
    ++shown;
  }
  return text;
}
