// Answers at the Windows console, read as UTF-16 with ReadConsoleW and turned into UTF-8 once, so
// a path may hold any character the console can show, whatever its code page. The console's own
// line editing (arrows, F7 history, Tab on its own terms) is left as it is; nothing here changes
// the console's modes or flushes its input, so answers typed ahead wait for their prompts.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "answer_line.h"
#include "typed_code_page.h"
#include "wide_text.h"

namespace {

constexpr wchar_t kEndOfInput = 0x1A;  // Ctrl+Z

// One line from the console, its line end included; at most kLongestName units are kept and the
// rest of a longer line is read away. False when the console gives nothing at all.
bool readConsoleLine(std::wstring& wide) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  wchar_t buffer[1024];
  bool anything = false;
  for (;;) {
    DWORD got = 0;
    if (!ReadConsoleW(input, buffer, sizeof buffer / sizeof buffer[0], &got, nullptr) || got == 0) {
      return anything;
    }
    anything = true;
    if (wide.size() < kLongestName) wide.append(buffer, got);
    if (buffer[got - 1] == L'\n') return true;
  }
}

}  // namespace

bool readAnswerLine(AnswerKind, std::string& line) {
  std::cout.flush();
  std::fflush(stdout);
  if (!answersFromConsole()) return readStreamLine(std::cin, line);
  std::wstring wide;
  if (!readConsoleLine(wide)) return false;
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
  // Ctrl+Z ends the input as the C runtime has it: what was typed before it is the last answer.
  const std::size_t end = wide.find(kEndOfInput);
  if (end == 0) return false;
  if (end != std::wstring::npos) wide.resize(end);
  line = utf8FromWide(wide);
  if (line.size() > kLongestName) line.resize(kLongestName);
  return true;
}

void forgetEndOfInput() {
  if (std::cin.bad()) return;
  std::cin.clear();
  std::clearerr(stdin);
}
