#include <windows.h>

#include <cstdlib>

#include "field_text.h"
#include "typed_code_page.h"
#include "typed_name.h"
#include "wide_text.h"

namespace {

// Answers typed at the console arrive as UTF-8 already (they are read as UTF-16); answers from a
// file arrive in the ANSI code page.
std::string utf8FromTyped(const std::string& typed) {
  if (answersFromConsole()) return typed;
  const std::string path = utf8FromWide(wideFromCodePage(typedCodePage(), typed));
  return path.empty() ? typed : path;
}

std::string homeFolder() {
  const wchar_t* home = _wgetenv(L"USERPROFILE");
  return home != nullptr ? utf8FromWide(home) : std::string();
}

}  // namespace

std::string pathFromTypedName(const std::string& typed) {
  const std::string path = utf8FromTyped(typed);
  const bool fromHome = path.compare(0, 2, "~/") == 0 || path.compare(0, 2, "~\\") == 0;
  const std::string home = fromHome ? homeFolder() : std::string();
  if (home.empty()) return path;
  const bool separated = home.back() == '\\' || home.back() == '/';
  return home + (separated ? "" : "\\") + path.substr(2);
}

bool fieldBytesFromTyped(const std::string& typed, std::string& bytes, std::string& problem) {
  if (!answersFromConsole()) {
    bytes = typed;
    return true;
  }
  return fieldBytesFromArgument(typed, bytes, problem);
}

// The console shows bytes in its output code page; UTF-8 text becomes that, with '?' for what
// the code page lacks. Redirected output gets UTF-8.
std::string shownText(const std::string& text) {
  DWORD mode = 0;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const UINT codePage = GetConsoleOutputCP();
  if (!GetConsoleMode(output, &mode) || codePage == CP_UTF8 || codePage == 0) return text;
  const std::wstring wide = widePath(text);
  if (wide.empty()) return text;
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string shown(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), size, &shown[0], length, nullptr, nullptr);
  return shown;
}
