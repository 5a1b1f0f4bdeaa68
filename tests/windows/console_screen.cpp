// Watches the real divovod.exe on the console it shares with this program, for
// scripts/windows-check.sh: the console gets the code page given (as `chcp` would set it), the
// program runs as a child with its own standard output and its own buffering, and this program
// reads the console's cells back while the program shows its menu and after it has ended.
//
//   console_screen CODE_PAGE REPORT COMMAND LINE ...    (the rest of the arguments, joined by
//                                                        spaces, is the child's command line)
//
// The keys come from the terminal the script types at, never from here; the file "menu-checked"
// in the working folder tells the script that the menu has been read and keys may come. Each
// check gives a PASS or FAIL line in REPORT. Exit status: the child's, or 1 when a check failed (2
// on misuse).
#include <windows.h>

#include <cstdio>
#include <string>

#include "console_probe.h"

namespace {

std::FILE* report = nullptr;
bool anyFailed = false;

void record(bool passed, const std::string& check, const std::string& detail) {
  std::fprintf(report, "%s  %s\n", passed ? "PASS" : "FAIL", check.c_str());
  if (!passed) std::fprintf(report, "        %s\n", detail.c_str());
  std::fflush(report);
  if (!passed) anyFailed = true;
}

// The first menu the program draws, cell by cell, within 20 s. The frame is drawn piece by piece,
// so the screen is read again until it is whole.
void checkMenu(UINT codePage, HANDLE child) {
  const Grid want = expectedMainMenu(1);
  std::string wrong = "nothing drawn";
  for (int attempt = 0; attempt < 400 && !wrong.empty(); ++attempt) {
    if (WaitForSingleObject(child, 50) == WAIT_OBJECT_0) break;
    wrong = differences(screenGrid(), want);
  }
  record(wrong.empty(),
         "code page " + std::to_string(codePage) +
             ": divovod.exe shows its menu cell by cell (double lines, texts, highlight)",
         wrong);
}

// After Quit: the cursor at the start of the line below the frame (row 9, the frame's bottom
// border being row 8), in the colours and with the cursor the console had before.
void checkAfterQuit(WORD attributeBefore, const CONSOLE_CURSOR_INFO& cursorBefore) {
  const CONSOLE_SCREEN_BUFFER_INFO info = screenInfo();
  const CONSOLE_CURSOR_INFO cursor = cursorInfo();
  const COORD at = info.dwCursorPosition;
  record(at.X == 0 && at.Y == 8 && info.wAttributes == attributeBefore &&
             cursor.dwSize == cursorBefore.dwSize && cursor.bVisible == cursorBefore.bVisible,
         "after Quit: cursor at the start of row 9, below the frame; colours and cursor as found",
         "cursor at (" + std::to_string(at.X) + "," + std::to_string(at.Y) + "), attribute " +
             hex(info.wAttributes) + " (was " + hex(attributeBefore) + "), cursor size " +
             std::to_string(cursor.dwSize) + (cursor.bVisible ? " visible" : " hidden"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  report = std::fopen(argv[2], "w");
  if (report == nullptr) return 2;
  const UINT codePage = static_cast<UINT>(std::stoul(argv[1]));
  if (!SetConsoleOutputCP(codePage) || !SetConsoleCP(codePage)) {
    record(false, "the console takes code page " + std::to_string(codePage), "it refuses it");
    return 1;
  }
  // A known start: the screen blank in light grey on black, the cursor at the top.
  SetConsoleTextAttribute(screenHandle(), 0x07);
  fillScreen(' ', 0x07);
  SetConsoleCursorPosition(screenHandle(), {0, 0});
  const WORD attributeBefore = screenInfo().wAttributes;
  const CONSOLE_CURSOR_INFO cursorBefore = cursorInfo();

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  std::string commandLine = argv[3];
  for (int i = 4; i < argc; ++i) commandLine += std::string(" ") + argv[i];
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &child)) {
    record(false, "start " + commandLine, "error " + std::to_string(GetLastError()));
    return 1;
  }
  checkMenu(codePage, child.hProcess);
  if (std::FILE* cue = std::fopen("menu-checked", "w")) std::fclose(cue);
  const bool ended = WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(child.hProcess, 124);
  DWORD exitCode = 124;
  GetExitCodeProcess(child.hProcess, &exitCode);
  record(ended && exitCode == 0, commandLine + " ends with exit status 0",
         ended ? "exit status " + std::to_string(exitCode) : "still running after 60 s");
  if (ended) checkAfterQuit(attributeBefore, cursorBefore);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  std::fclose(report);
  return anyFailed ? 1 : static_cast<int>(exitCode);
}
