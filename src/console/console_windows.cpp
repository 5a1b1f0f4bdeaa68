// The console backend for the Windows console.
//
// Screen: kernel32 calls on the screen buffer that standard output writes to, with the handle
// fetched afresh on every call. Text goes through std::cout, which sits in front of the C
// runtime's own stdout buffer; both are flushed before every primitive and every key read (and
// std::cin flushes them before every answer read), so each character lands at the position and in
// the colours in force when it was written. The runtime's buffer is a full one: unbuffered, it
// hands the console one byte at a time, and under code page 65001 each byte of a UTF-8 glyph
// alone is invalid (a frame of U+FFFD, three cells per glyph).
//
// Keyboard: console input events, read from the console input handle even when standard input
// is redirected (then from "CONIN$"), so typed-ahead answers in a file never act as keys. The
// runtime's _kbhit can only be polled, and a menu that polls burns a core while the user thinks;
// waiting on the input handle blocks instead. The key is then read with ReadConsoleInputA and
// turned into _getch's codes here rather than by _getch, so that "is a key waiting?" and the
// read judge every event by the same table (under wine, _getch swallows F1 whole and gives the
// keypad's keys 224 instead of 0; a wait that counted F1 as a key would then block in _getch):
//   a key with a character        its byte in the input code page (Enter 13, Escape 27, 'H' 72)
//   Home Up PgUp Left Right       prefix 224, then 71 72 73 75 77
//   End Down PgDn Insert Delete   prefix 224, then 79 80 81 82 83
//     the same keys on the numeric keypad with Num Lock off: prefix 0, same codes
//     with Ctrl: 119 141 132 115 116 117 145 118 146 147; with Alt: prefix 0, 151..163
//   F1..F10                       prefix 0, then 59..68 (Shift 84.., Ctrl 94.., Alt 104..)
//   F11 F12                       prefix 224, then 133 134 (Shift 135 136, Ctrl 137 138,
//                                 Alt 139 140)
// Key releases, bare Shift/Ctrl/Alt, lock keys, mouse, focus and resize events give no code
// (as with _getch) and are read away without waking a reader.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "console.h"

namespace {

constexpr WORD kNormalAttribute = 7;  // light grey on black

// Wine's C runtime, in text mode, widens every byte written to a console as if it were Latin-1,
// so the code page 437 frame bytes showed as É, Í and ». In binary mode the bytes reach the
// console, which decodes them in its own code page, as Windows' runtime does in either mode. A
// console turns a bare line feed into a new line by itself, so text mode adds nothing there.
void passBytesToConsole() {
  static bool done = false;
  if (done) return;
  done = true;
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) _setmode(_fileno(stdout), _O_BINARY);
}

void bufferOutput() {
  static bool done = false;
  if (done) return;
  done = true;
  static char outputBuffer[1 << 16];
  std::fflush(stdout);
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
}

void flushOutput() {
  std::cout.flush();
  std::fflush(stdout);
  passBytesToConsole();
  bufferOutput();
}

// ---- restoring the console -----------------------------------------------------------------

bool consoleChanged = false;
CONSOLE_CURSOR_INFO cursorAsFound = {25, TRUE};
WORD attributeAsFound = kNormalAttribute;
// 0-based; the menu is drawn with the cursor, not with newlines. Read by the break handler too.
std::atomic<SHORT> lowestRowDrawn{0};

// The user's next prompt must not land inside the menu's frame: the cursor goes to the start of
// the line below everything drawn, unless text written after it already left it on such a line.
void moveCursorBelowDrawing(HANDLE output) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(output, &info)) return;
  const COORD cursor = info.dwCursorPosition;
  const SHORT lowest = lowestRowDrawn;
  if (cursor.X == 0 && cursor.Y > lowest) return;
  const SHORT below = static_cast<SHORT>((cursor.Y > lowest ? cursor.Y : lowest) + 1);
  if (below < info.dwSize.Y) {
    SetConsoleCursorPosition(output, {0, below});
  } else {
    SetConsoleCursorPosition(output, {0, static_cast<SHORT>(info.dwSize.Y - 1)});
    DWORD written = 0;
    WriteConsoleA(output, "\n", 1, &written, nullptr);  // scrolls the buffer by one line
  }
}

void resetConsoleState() {
  if (!consoleChanged) return;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  SetConsoleTextAttribute(output, attributeAsFound);
  SetConsoleCursorInfo(output, &cursorAsFound);
  moveCursorBelowDrawing(output);
}

// Runs on a thread of its own when Ctrl+C or Ctrl+Break arrives, so it must not touch std::cout.
// Returning FALSE hands the event on to the default handler, which ends the process.
BOOL WINAPI resetOnBreak(DWORD) {
  resetConsoleState();
  return FALSE;
}

// Called before the first change of colours or cursor, so there is something to give back and
// the console as found is known.
void noteConsoleChange() {
  if (consoleChanged) return;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_CURSOR_INFO cursor;
  if (GetConsoleCursorInfo(output, &cursor)) cursorAsFound = cursor;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(output, &info)) attributeAsFound = info.wAttributes;
  consoleChanged = true;
  std::atexit(restoreConsole);
  SetConsoleCtrlHandler(resetOnBreak, TRUE);
}

// ---- key codes -----------------------------------------------------------------------------

struct KeyCodes {
  int count;  // 0: the event is no key press; 2: a prefix and a code
  int first;
  int second;
};

// A key without a character; the second code of its pair under each modifier.
struct ExtendedKey {
  WORD virtualKey;
  int prefix;         // 224 or 0
  bool alsoOnKeypad;  // the keypad copy (no ENHANCED_KEY flag) and every Alt chord use prefix 0
  int plain;
  int shift;
  int ctrl;
  int alt;
};

constexpr ExtendedKey kExtendedKeys[] = {
    {VK_HOME, 224, true, 71, 71, 119, 151},   {VK_UP, 224, true, 72, 72, 141, 152},
    {VK_PRIOR, 224, true, 73, 73, 132, 153},  {VK_LEFT, 224, true, 75, 75, 115, 155},
    {VK_RIGHT, 224, true, 77, 77, 116, 157},  {VK_END, 224, true, 79, 79, 117, 159},
    {VK_DOWN, 224, true, 80, 80, 145, 160},   {VK_NEXT, 224, true, 81, 81, 118, 161},
    {VK_INSERT, 224, true, 82, 82, 146, 162}, {VK_DELETE, 224, true, 83, 83, 147, 163},
    {VK_F1, 0, false, 59, 84, 94, 104},       {VK_F2, 0, false, 60, 85, 95, 105},
    {VK_F3, 0, false, 61, 86, 96, 106},       {VK_F4, 0, false, 62, 87, 97, 107},
    {VK_F5, 0, false, 63, 88, 98, 108},       {VK_F6, 0, false, 64, 89, 99, 109},
    {VK_F7, 0, false, 65, 90, 100, 110},      {VK_F8, 0, false, 66, 91, 101, 111},
    {VK_F9, 0, false, 67, 92, 102, 112},      {VK_F10, 0, false, 68, 93, 103, 113},
    {VK_F11, 224, false, 133, 135, 137, 139}, {VK_F12, 224, false, 134, 136, 138, 140},
};

KeyCodes codesOfExtendedKey(const ExtendedKey& key, DWORD modifiers) {
  const bool alt = (modifiers & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  const bool ctrl = (modifiers & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  const bool shift = (modifiers & SHIFT_PRESSED) != 0;
  const bool onKeypad = (modifiers & ENHANCED_KEY) == 0;
  const int prefix = key.alsoOnKeypad && (alt || onKeypad) ? 0 : key.prefix;
  const int code = alt ? key.alt : ctrl ? key.ctrl : shift ? key.shift : key.plain;
  return {2, prefix, code};
}

KeyCodes keyCodes(const INPUT_RECORD& event) {
  if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown) return {0, 0, 0};
  const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
  if (key.uChar.AsciiChar != 0) return {1, static_cast<unsigned char>(key.uChar.AsciiChar), 0};
  for (const ExtendedKey& extended : kExtendedKeys) {
    if (extended.virtualKey == key.wVirtualKeyCode) {
      return codesOfExtendedKey(extended, key.dwControlKeyState);
    }
  }
  return {0, 0, 0};
}

// ---- the console keyboard ------------------------------------------------------------------

// The second code of a two-code key, kept for the next readKey; -1 when none is kept.
int keptSecondCode = -1;

HANDLE openKeyboard() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    return input;
  }
  return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// INVALID_HANDLE_VALUE when the process has no console to read keys from.
HANDLE keyboard() {
  static const HANDLE handle = openKeyboard();
  return handle;
}

enum class QueueHead { kKeyPress, kEmpty, kGone };

// A buffer-size event was read away since this was last cleared. The console sends those only
// while ENABLE_WINDOW_INPUT is on, which readKeyOrResize turns on for its wait.
bool screenResized = false;

// Reads away the events at the head of the input queue that give no key code, so that the
// handle is signalled again only by something a reader wants.
QueueHead dropEventsBeforeKeyPress(HANDLE input) {
  for (;;) {
    INPUT_RECORD event;
    DWORD count = 0;
    if (!PeekConsoleInputA(input, &event, 1, &count)) return QueueHead::kGone;
    if (count == 0) return QueueHead::kEmpty;
    if (keyCodes(event).count > 0) return QueueHead::kKeyPress;
    if (!ReadConsoleInputA(input, &event, 1, &count)) return QueueHead::kGone;
    if (event.EventType == WINDOW_BUFFER_SIZE_EVENT) screenResized = true;
  }
}

// Blocks until a key press heads the queue (kKeyPress), the keyboard is gone (kGone) or, with
// `resizeEnds`, the buffer changed size (kEmpty).
QueueHead awaitKeyPress(HANDLE input, bool resizeEnds) {
  for (;;) {
    const QueueHead head = dropEventsBeforeKeyPress(input);
    if (head != QueueHead::kEmpty) return head;
    if (resizeEnds && screenResized) return QueueHead::kEmpty;
    if (WaitForSingleObject(input, INFINITE) != WAIT_OBJECT_0) return QueueHead::kGone;
  }
}

}  // namespace

void clearScreen() {
  flushOutput();
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const COORD topLeft = {0, 0};
  CONSOLE_SCREEN_BUFFER_INFO info = {};  // stays empty, and nothing is filled, off a console
  GetConsoleScreenBufferInfo(output, &info);
  // The whole buffer, rows scrolled out of the window included.
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  DWORD written = 0;
  FillConsoleOutputCharacterA(output, ' ', cells, topLeft, &written);
  GetConsoleScreenBufferInfo(output, &info);
  FillConsoleOutputAttribute(output, info.wAttributes, cells, topLeft, &written);
  SetConsoleCursorPosition(output, topLeft);
  lowestRowDrawn = 0;
}

void setColors(std::int8_t background, std::int8_t foreground) {
  flushOutput();
  noteConsoleChange();
  const WORD attribute = static_cast<WORD>((background * 16 + foreground) & 0xFF);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
}

void moveCursor(std::int32_t column, std::int32_t row) {
  flushOutput();
  noteConsoleChange();
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  // Size 1 is the thinnest cursor the console draws; it stays visible so the dialogue after the
  // menu still shows where typing goes.
  const CONSOLE_CURSOR_INFO thin = {1, TRUE};
  SetConsoleCursorInfo(output, &thin);
  const COORD cell = {static_cast<SHORT>(column - 1), static_cast<SHORT>(row - 1)};
  SetConsoleCursorPosition(output, cell);
  if (cell.Y > lowestRowDrawn) lowestRowDrawn = cell.Y;
}

bool keyWaiting() {
  flushOutput();
  if (keptSecondCode >= 0) return true;
  HANDLE input = keyboard();
  return input != INVALID_HANDLE_VALUE && dropEventsBeforeKeyPress(input) == QueueHead::kKeyPress;
}

void discardTypedKeys() {
  flushOutput();
  keptSecondCode = -1;
  HANDLE input = keyboard();
  if (input != INVALID_HANDLE_VALUE) FlushConsoleInputBuffer(input);
}

bool waitForKey() {
  flushOutput();
  if (keptSecondCode >= 0) return true;
  HANDLE input = keyboard();
  if (input == INVALID_HANDLE_VALUE) return false;
  return awaitKeyPress(input, false) == QueueHead::kKeyPress;
}

int readKey() {
  flushOutput();
  if (keptSecondCode >= 0) {
    const int code = keptSecondCode;
    keptSecondCode = -1;
    return code;
  }
  if (!waitForKey()) return kNoKeyboard;
  INPUT_RECORD event;
  DWORD count = 0;
  // waitForKey left a key press at the head of the queue, and this program has one thread.
  if (!ReadConsoleInputA(keyboard(), &event, 1, &count) || count == 0) return kNoKeyboard;
  const KeyCodes codes = keyCodes(event);
  if (codes.count == 2) keptSecondCode = codes.second;
  return codes.first;
}

int readKeyOrResize() {
  flushOutput();
  if (keptSecondCode >= 0) return readKey();
  HANDLE input = keyboard();
  if (input == INVALID_HANDLE_VALUE) return kNoKeyboard;
  DWORD mode = 0;
  const bool modeRead = GetConsoleMode(input, &mode) != 0;
  if (modeRead) SetConsoleMode(input, mode | ENABLE_WINDOW_INPUT);
  const QueueHead head = awaitKeyPress(input, true);
  if (modeRead) SetConsoleMode(input, mode);
  if (head == QueueHead::kEmpty) {
    screenResized = false;
    return kScreenResized;
  }
  return head == QueueHead::kKeyPress ? readKey() : kNoKeyboard;
}

bool screenSize(std::int32_t& columns, std::int32_t& rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
  columns = info.srWindow.Right - info.srWindow.Left + 1;
  rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return columns > 0 && rows > 0;
}

bool screenCanBeDrawn() { return true; }

// The console's line editing changes no mode this program has to give back.
void answerReadingBegins() {}
void answerReadingEnds() {}

bool consoleKeyboardPresent() { return keyboard() != INVALID_HANDLE_VALUE; }

// The console's code page is the user's and stays as it is. The OEM code pages listed keep code
// page 437's double lines at the same bytes; any other (1252, say) gets the ASCII frame.
FrameEncoding frameEncoding() {
  switch (GetConsoleOutputCP()) {
    case CP_UTF8:
      return FrameEncoding::kUtf8;
    case 437:
    case 850:
    case 852:
    case 858:
    case 866:
      return FrameEncoding::kCodePage437;
    default:
      return FrameEncoding::kAscii;
  }
}

void restoreConsole() {
  flushOutput();
  resetConsoleState();
}
