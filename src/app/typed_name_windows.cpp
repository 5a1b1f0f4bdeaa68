#include <windows.h>

#include "typed_name.h"
#include "wide_text.h"

namespace {

// Typed at the console, the bytes are in its input code page (437 or 850 on a default setup);
// from a file or a pipe, in the ANSI code page, as a Windows editor writes them.
UINT typedCodePage() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode)) return GetConsoleCP();
  return GetACP();
}

}  // namespace

std::string pathFromTypedName(const std::string& typed) {
  const std::string path = utf8FromWide(wideFromCodePage(typedCodePage(), typed));
  return path.empty() ? typed : path;
}
