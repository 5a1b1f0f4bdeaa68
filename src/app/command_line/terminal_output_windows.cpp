#include <windows.h>

#include <iostream>

#include "terminal_output.h"
#include "wide_text.h"

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool consoleOutput(DWORD& mode) {
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace

int outputColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// The console is written in UTF-16 and a file or pipe gets UTF-8: the half block always shows.
bool outputTakesUtf8() { return true; }

void writeColouredText(std::ostream& out, const std::string& text) {
  DWORD mode = 0;
  if (&out != &std::cout || !consoleOutput(mode)) {
    out << text;
    return;
  }
  out.flush();
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  // Colour sequences are read by the console only in this mode; the mode the user had comes back.
  SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  const std::wstring wide = widePath(text);
  const wchar_t* at = wide.c_str();
  std::size_t left = wide.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left < 8192 ? left : 8192);
    if (!WriteConsoleW(handle, at, chunk, &written, nullptr) || written == 0) break;
    at += written;
    left -= written;
  }
  SetConsoleMode(handle, mode);
}
