// Smoke test of the Windows console backend, with the menu drawn through it, in a real console
// (wine's, when scripts/windows-check.sh runs it). It reads the screen buffer back cell by cell
// and writes key events into the console's input queue. Each check gives a PASS or FAIL line;
// the exit status is 1 when any check failed.
//
// The checks clear and redraw the screen, so the lines go to a report file (the first argument)
// as they come and to the console once all is done.
//
// Standard output gets a full buffer on purpose: then only the backend's own flushes can put text
// at the right cell in the right colours, and the screen checks catch a missing flush.
//
// More modes: --idle-menu keeps the main menu waiting for a key typed at the terminal, while the
// script measures the CPU the wait costs; --without-console and --keys-from-console are the child
// processes of checkKeyboardSource.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "console.h"
#include "console_probe.h"
#include "menu.h"

namespace {

// ---- report --------------------------------------------------------------------------------

std::vector<std::string> reportLines;
int failures = 0;
std::FILE* reportFile = nullptr;
std::atomic<const char*> runningCheck{"start-up"};

void writeReportLine(const std::string& line) {
  if (reportFile == nullptr) return;
  std::fputs((line + "\n").c_str(), reportFile);
  std::fflush(reportFile);
}

// `detail` says what was seen; it is shown for a failure only.
void record(bool passed, const std::string& check, const std::string& detail = "") {
  std::string line = (passed ? "PASS  " : "FAIL  ") + check;
  if (!passed && !detail.empty()) line += "\n        " + detail;
  if (!passed) ++failures;
  reportLines.push_back(line);
  writeReportLine(line);
}

// A check that hangs (a key wait that never ends) still leaves a report and an exit status.
DWORD WINAPI watchdog(void*) {
  Sleep(60000);
  writeReportLine(std::string("FAIL  still running after 60 s: ") + runningCheck.load());
  ExitProcess(1);
}

std::string codesText(const std::vector<int>& codes) {
  if (codes.empty()) return "nothing";
  std::string text;
  for (int code : codes) text += (text.empty() ? "" : " ") + std::to_string(code);
  return text;
}

// ---- screen primitives ---------------------------------------------------------------------

void checkColors() {
  runningCheck = "setColors";
  struct Case {
    std::int8_t background;
    std::int8_t foreground;
    WORD attribute;
  };
  for (const Case& c : {Case{0, 7, 0x07}, Case{1, 15, 0x1F}, Case{7, 0, 0x70}}) {
    setColors(c.background, c.foreground);
    const WORD got = screenInfo().wAttributes;
    record(got == c.attribute,
           "setColors(" + std::to_string(c.background) + ", " + std::to_string(c.foreground) +
               ") makes text attribute " + hex(c.attribute),
           "attribute " + hex(got));
  }
}

void checkClearScreen() {
  runningCheck = "clearScreen";
  for (WORD attribute : {WORD{0x1F}, WORD{0x07}}) {
    fillScreen('x', 0x4E);
    setColors(static_cast<std::int8_t>(attribute >> 4), static_cast<std::int8_t>(attribute & 15));
    moveCursor(20, 5);
    clearScreen();
    const CONSOLE_SCREEN_BUFFER_INFO info = screenInfo();
    const DWORD count = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD wrong = 0;
    for (const Cell& cell : readCells({0, 0}, count)) {
      if (cell.glyph != L' ' || cell.attribute != attribute) ++wrong;
    }
    const COORD cursor = info.dwCursorPosition;
    record(wrong == 0 && cursor.X == 0 && cursor.Y == 0 && info.wAttributes == attribute,
           "clearScreen blanks all " + std::to_string(info.dwSize.X) + "x" +
               std::to_string(info.dwSize.Y) + " cells in " + hex(attribute) +
               ", cursor to the top-left cell, colours kept",
           std::to_string(wrong) + " cells not blank; cursor (" + std::to_string(cursor.X) + "," +
               std::to_string(cursor.Y) + "); attribute " + hex(info.wAttributes));
  }
}

void checkMoveCursor() {
  runningCheck = "moveCursor";
  struct Case {
    std::int32_t column;
    std::int32_t row;
    SHORT x;
    SHORT y;
  };
  for (const Case& c : {Case{1, 1, 0, 0}, Case{3, 3, 2, 2}, Case{24, 8, 23, 7}}) {
    moveCursor(c.column, c.row);
    const COORD got = screenInfo().dwCursorPosition;
    const CONSOLE_CURSOR_INFO cursor = cursorInfo();
    record(got.X == c.x && got.Y == c.y && cursor.dwSize == 1,
           "moveCursor(" + std::to_string(c.column) + ", " + std::to_string(c.row) +
               ") puts a size-1 cursor at cell (" + std::to_string(c.x) + "," +
               std::to_string(c.y) + ")",
           "cell (" + std::to_string(got.X) + "," + std::to_string(got.Y) + "), size " +
               std::to_string(cursor.dwSize));
  }
}

// Text written through std::cout takes the place and colours in force when it was written.
void checkTextOrder() {
  runningCheck = "text order";
  setColors(0, 7);
  clearScreen();
  moveCursor(10, 2);
  setColors(1, 15);
  std::cout << "ab";
  setColors(0, 7);
  std::cout << "c";
  moveCursor(1, 1);
  const std::vector<Cell> cells = readCells({9, 1}, 3);
  const bool passed = cells[0].glyph == L'a' && cells[1].glyph == L'b' && cells[2].glyph == L'c' &&
                      cells[0].attribute == 0x1F && cells[1].attribute == 0x1F &&
                      cells[2].attribute == 0x07;
  std::string seen;
  for (const Cell& cell : cells) {
    seen += std::string(1, static_cast<char>(cell.glyph)) + "/" + hex(cell.attribute) + " ";
  }
  record(passed, "std::cout text lands at the cursor in the colours set before it", seen);
}

// The next prompt goes on the line below everything drawn, not inside the frame.
void checkRestore(const CONSOLE_CURSOR_INFO& cursorAsFound) {
  runningCheck = "restoreConsole";
  setColors(0, 7);
  clearScreen();
  moveCursor(3, 8);
  std::cout << "bottom";
  setColors(1, 15);
  moveCursor(3, 3);
  restoreConsole();
  restoreConsole();
  const CONSOLE_SCREEN_BUFFER_INFO info = screenInfo();
  const CONSOLE_CURSOR_INFO cursor = cursorInfo();
  const COORD at = info.dwCursorPosition;
  record(info.wAttributes == 0x07 && cursor.bVisible && cursor.dwSize == cursorAsFound.dwSize &&
             at.X == 0 && at.Y == 8,
         "restoreConsole, twice, leaves attribute 0x7, a visible cursor of size " +
             std::to_string(cursorAsFound.dwSize) + " at the start of row 9, below the drawing",
         "attribute " + hex(info.wAttributes) + ", cursor size " + std::to_string(cursor.dwSize) +
             (cursor.bVisible ? " visible" : " hidden") + " at (" + std::to_string(at.X) + "," +
             std::to_string(at.Y) + ")");
}

// ---- the menu on screen --------------------------------------------------------------------

const MenuDescriptor kMainMenu = {2, 1, {"Z4K DIVOVOD", "Create new", "Quit"}};

INPUT_RECORD enterKey() { return keyDown(VK_RETURN, '\r'); }
INPUT_RECORD downArrow() { return keyDown(VK_DOWN, 0, ENHANCED_KEY); }

void checkMenuInCodePage(UINT codePage) {
  const std::string page = "code page " + std::to_string(codePage);
  const FrameEncoding expected =
      codePage == CP_UTF8 ? FrameEncoding::kUtf8 : FrameEncoding::kCodePage437;
  record(frameEncoding() == expected, page + ": the frame is written in its encoding");
  struct Case {
    std::int16_t start;  // the item highlighted when the menu opens
    const char* keys;
    std::vector<INPUT_RECORD> events;
    std::int16_t item;
  };
  // F1 and Home must change nothing: taken for P (Down) or H (Up), they would move the highlight
  // away from where it starts.
  const Case cases[] = {
      {1, "Enter", {enterKey()}, 1},
      {1, "Down, Enter", {downArrow(), keyUp(VK_DOWN, 0, ENHANCED_KEY), enterKey()}, 2},
      {1, "F1, Enter", {keyDown(VK_F1), keyUp(VK_F1), enterKey()}, 1},
      {2, "Home, Enter", {keyDown(VK_HOME, 0, ENHANCED_KEY), enterKey()}, 2},
      {2, "keypad Home, Enter", {keyDown(VK_HOME), enterKey()}, 2},
      {1,
       "keypad Down, Escape, Down, Enter",
       {keyDown(VK_DOWN), keyDown(VK_ESCAPE, 27), downArrow(), enterKey()},
       2},
  };
  for (const Case& c : cases) {
    setColors(0, 7);
    clearScreen();
    queueEvents(c.events);
    MenuDescriptor menu = kMainMenu;
    menu.highlightedItem = c.start;
    const std::int16_t chosen = runMenu(menu, 3, 3);
    const std::string wrong = differences(screenGrid(), expectedMainMenu(c.item));
    const WORD attribute = screenInfo().wAttributes;
    record(chosen == c.item && wrong.empty() && attribute == 0x07,
           page + ": runMenu from item " + std::to_string(c.start) + " on " + c.keys + " returns " +
               std::to_string(c.item) +
               "; frame, texts and colours cell by cell; normal colours after",
           "returned " + std::to_string(chosen) + "; attribute after " + hex(attribute) +
               "; cells: " + (wrong.empty() ? "right" : wrong));
  }
}

void skip(const std::string& check, const std::string& reason) {
  reportLines.push_back("SKIP  " + check + ": " + reason);
  writeReportLine(reportLines.back());
}

// Whether a UTF-8 character written through stdout shows as one glyph on this console. Windows'
// runtime hands the bytes on whole; wine's (8.0) splits them into single bytes, each shown as
// U+FFFD, whatever the program does.
bool runtimePassesUtf8() {
  clearScreen();
  moveCursor(1, 1);
  std::cout << "\xE2\x95\x94";  // ╔
  moveCursor(1, 2);
  return readCells({0, 0}, 1)[0].glyph == L'\x2554';
}

void checkMenuScreens() {
  runningCheck = "menu on screen";
  const UINT codePageAsFound = GetConsoleOutputCP();
  for (UINT codePage : {437u, static_cast<UINT>(CP_UTF8)}) {
    const std::string page = "code page " + std::to_string(codePage);
    if (!SetConsoleOutputCP(codePage) || GetConsoleOutputCP() != codePage) {
      skip(page, "the console refuses it");
    } else if (codePage == CP_UTF8 && !runtimePassesUtf8()) {
      record(frameEncoding() == FrameEncoding::kUtf8, page + ": the frame is written in UTF-8");
      skip(page + " menu", "this C runtime breaks UTF-8 written to the console into single bytes");
    } else {
      checkMenuInCodePage(codePage);
    }
  }
  SetConsoleOutputCP(codePageAsFound);
}

// ---- keyboard ------------------------------------------------------------------------------

// Every code that can be read without waiting. keyWaiting must stay true between the two codes
// of a key, or the second code is missed here.
std::vector<int> waitingCodes() {
  std::vector<int> codes;
  while (keyWaiting() && codes.size() < 8) codes.push_back(readKey());
  return codes;
}

void checkKeyCodes() {
  runningCheck = "key codes";
  const DWORD shift = SHIFT_PRESSED;
  const DWORD ctrl = LEFT_CTRL_PRESSED;
  const DWORD alt = LEFT_ALT_PRESSED;
  const DWORD grey = ENHANCED_KEY;  // the arrow block, not the numeric keypad
  struct Case {
    const char* key;
    std::vector<INPUT_RECORD> events;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {"Down arrow", {downArrow(), keyUp(VK_DOWN, 0, grey)}, {224, 80}},
      {"Up arrow", {keyDown(VK_UP, 0, grey)}, {224, 72}},
      {"keypad Up, Num Lock off", {keyDown(VK_UP)}, {0, 72}},
      {"Enter", {enterKey(), keyUp(VK_RETURN, '\r')}, {13}},
      {"Escape", {keyDown(VK_ESCAPE, 27)}, {27}},
      {"Shift+h", {keyDown(VK_SHIFT, 0, shift), keyDown('H', 'H', shift)}, {72}},
      {"Home", {keyDown(VK_HOME, 0, grey)}, {224, 71}},
      {"Delete", {keyDown(VK_DELETE, 0, grey)}, {224, 83}},
      {"F1", {keyDown(VK_F1)}, {0, 59}},
      {"F10", {keyDown(VK_F10)}, {0, 68}},
      {"F12", {keyDown(VK_F12)}, {224, 134}},
      {"Ctrl+Up", {keyDown(VK_CONTROL, 0, ctrl), keyDown(VK_UP, 0, grey | ctrl)}, {224, 141}},
      {"Alt+Down", {keyDown(VK_MENU, 0, alt), keyDown(VK_DOWN, 0, grey | alt)}, {0, 160}},
      {"Down then Enter, queued together", {downArrow(), enterKey()}, {224, 80, 13}},
      {"releases, bare Shift/Ctrl/Alt, Caps Lock, focus, mouse, resize",
       {keyUp(VK_DOWN, 0, grey), keyDown(VK_SHIFT, 0, shift), keyDown(VK_CONTROL, 0, ctrl),
        keyDown(VK_MENU, 0, alt), keyDown(VK_CAPITAL), focusEvent(), mouseMove(), resizeEvent()},
       {}},
      {"a after events that give no key",
       {keyUp(VK_DOWN, 0, grey), keyDown(VK_SHIFT, 0, shift), focusEvent(), mouseMove(),
        keyDown('A', 'a')},
       {97}},
  };
  for (const Case& c : cases) {
    const bool queued = queueEvents(c.events);
    const std::vector<int> got = waitingCodes();
    record(queued && got == c.codes,
           std::string("readKey: ") + c.key + " gives " + codesText(c.codes),
           queued ? "gave " + codesText(got) : "WriteConsoleInputA failed");
  }
}

DWORD WINAPI pressEnterAfterOneSecond(void*) {
  Sleep(1000);
  queueEvents({enterKey()});
  return 0;
}

// How much CPU the wait costs cannot be seen from in here under wine, where the console runs in
// other processes; scripts/windows-check.sh measures it from outside, with runIdleMenu.
void checkKeyWait() {
  runningCheck = "key wait";
  queueEvents({});
  const DWORD started = GetTickCount();
  HANDLE presser = CreateThread(nullptr, 0, pressEnterAfterOneSecond, nullptr, 0, nullptr);
  const bool woke = waitForKey();
  const DWORD waited = GetTickCount() - started;
  const int key = readKey();
  WaitForSingleObject(presser, INFINITE);
  CloseHandle(presser);
  record(woke && key == 13 && waited >= 900,
         "waitForKey waits for a key that comes 1 s later, then readKey gives it (Enter, 13)",
         "waited " + std::to_string(waited) + " ms, woke " + (woke ? "true" : "false") + ", key " +
             std::to_string(key));
}

// ---- standard input that is no console ----------------------------------------------------

// The child side of checkKeyboardSource; its standard handles all lead to NUL.
int runChild(const std::string& mode) {
  if (mode == "--without-console") {
    const bool waiting = keyWaiting();
    const bool waited = waitForKey();
    const int key = readKey();
    return !waiting && !waited && key == kNoKeyboard ? 0 : 3;
  }
  const int prefix = readKey();  // --keys-from-console
  const int code = readKey();
  return prefix == 224 && code == 80 ? 0 : 3;
}

struct ChildRun {
  bool ended;  // within 10 s
  DWORD exitCode;
  std::string detail;
};

// This program again, in a child mode, with NUL as its standard handles. DETACHED_PROCESS among
// the flags takes the console away from it.
ChildRun runChildProcess(const char* mode, DWORD creationFlags) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string commandLine = std::string("\"") + path + "\" " + mode;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION child = {};
  const DWORD started = GetTickCount();
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, creationFlags, nullptr,
                      nullptr, &startup, &child)) {
    CloseHandle(nul);
    return {false, 0, "CreateProcessA failed, error " + std::to_string(GetLastError())};
  }
  const bool ended = WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(child.hProcess, 9);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(nul);
  const std::string after = " after " + std::to_string(GetTickCount() - started) + " ms";
  return {ended, exitCode,
          ended ? "child exit code " + std::to_string(exitCode) + after : "child hung" + after};
}

// Keys come from the console even when standard input is redirected, and a process without a
// console learns at once that no key will come.
void checkKeyboardSource() {
  runningCheck = "keyboard source";
  queueEvents({downArrow()});
  ChildRun run = runChildProcess("--keys-from-console", 0);
  record(run.ended && run.exitCode == 0,
         "standard input from NUL: keys still come from the console (Down gives 224 80)",
         run.detail);
  queueEvents({});
  run = runChildProcess("--without-console", DETACHED_PROCESS);
  record(run.ended && run.exitCode == 0,
         "no console at all: keyWaiting and waitForKey false, readKey kNoKeyboard, within 10 s",
         run.detail);
}

void printReport() {
  restoreConsole();
  clearScreen();
  for (const std::string& line : reportLines) std::cout << line << '\n';
  const std::string summary =
      std::to_string(reportLines.size()) + " checks, " + std::to_string(failures) + " failed";
  std::cout << summary << std::endl;
  writeReportLine(summary);
}

// ---- modes for windows-check.sh ------------------------------------------------------------

// The main menu, waiting for a key as the program does, until the measuring script types Enter at
// the terminal. The file "menu-idle" in the working folder tells the script that the wait is near.
// Exit status 0 when Enter chose item 1.
int runIdleMenu() {
  settleInput();
  clearScreen();
  if (std::FILE* cue = std::fopen("menu-idle", "w")) std::fclose(cue);
  const std::int16_t chosen = runMenu(kMainMenu, 3, 3);
  restoreConsole();
  return chosen == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--without-console" || mode == "--keys-from-console") return runChild(mode);
  if (mode == "--idle-menu") return runIdleMenu();
  if (argc > 1) reportFile = std::fopen(argv[1], "w");
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(screenHandle(), &info)) {
    record(false, "standard output is a console", "it is not: run this in a console window");
    return 1;
  }
  // Rows beyond the window, so that clearScreen is seen to blank the scrolled-out part too.
  const SHORT rows = static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top + 1);
  SetConsoleScreenBufferSize(screenHandle(), {info.dwSize.X, static_cast<SHORT>(rows * 4)});
  static char outputBuffer[1 << 16];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
  settleInput();
  const CONSOLE_CURSOR_INFO cursorAsFound = cursorInfo();

  checkColors();
  checkClearScreen();
  checkMoveCursor();
  checkTextOrder();
  checkMenuScreens();
  checkKeyCodes();
  checkKeyWait();
  checkKeyboardSource();
  checkRestore(cursorAsFound);

  printReport();
  return failures == 0 ? 0 : 1;
}
