#include <windows.h>

#include "typed_name.h"

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
  if (typed.empty()) return typed;
  const UINT codePage = typedCodePage();
  const int size = static_cast<int>(typed.size());
  const int wideLength = MultiByteToWideChar(codePage, 0, typed.data(), size, nullptr, 0);
  if (wideLength <= 0) return typed;
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(codePage, 0, typed.data(), size, &wide[0], wideLength);
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return typed;
  std::string path(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &path[0], length, nullptr, nullptr);
  return path;
}
