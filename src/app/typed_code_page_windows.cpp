#include <windows.h>

#include "typed_code_page.h"

unsigned typedCodePage() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode)) return GetConsoleCP();
  return GetACP();
}
