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
