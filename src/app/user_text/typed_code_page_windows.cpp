#include <windows.h>

#include "typed_code_page.h"

bool answersFromConsole() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode);
}

unsigned typedCodePage() { return answersFromConsole() ? GetConsoleCP() : GetACP(); }
