#include <windows.h>

#include "field_text.h"

namespace {

// The code page the dialogue's answers arrive in: typed at the console, its input code page; from
// a file or a pipe, the ANSI code page.
UINT typedCodePage() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode)) return GetConsoleCP();
  return GetACP();
}

std::wstring widePath(const std::string& utf8) {
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], length);
  return wide;
}

std::string utf8FromWide(const std::wstring& wide) {
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &text[0], length, nullptr, nullptr);
  return text;
}

// The text's bytes in the code page; false when a character has no byte there and would have
// become the default character ('?').
bool inCodePage(UINT codePage, const std::wstring& wide, std::string& bytes) {
  const int size = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr,
                                         0, nullptr, &usedDefault);
  if (length <= 0 || usedDefault) return false;
  bytes.assign(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, &bytes[0], length, nullptr,
                      &usedDefault);
  return !usedDefault;
}

// The first character (a surrogate pair counts as one) that the code page cannot hold.
std::string firstMissing(UINT codePage, const std::wstring& wide) {
  std::string ignored;
  for (std::size_t at = 0; at < wide.size();) {
    const bool pair = wide[at] >= 0xD800 && wide[at] < 0xDC00 && at + 1 < wide.size();
    const std::wstring character = wide.substr(at, pair ? 2 : 1);
    if (!inCodePage(codePage, character, ignored)) return utf8FromWide(character);
    at += character.size();
  }
  return std::string();
}

}  // namespace

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string& problem) {
  const UINT codePage = typedCodePage();
  // UTF-8 (65001) takes every character, and the default-character report is not allowed for it.
  if (argument.empty() || codePage == CP_UTF8) {
    bytes = argument;
    return true;
  }
  const std::wstring wide = widePath(argument);
  if (inCodePage(codePage, wide, bytes)) return true;
  problem = "'" + firstMissing(codePage, wide) + "' cannot be stored: code page " +
            std::to_string(codePage) + ", the one the dialogue stores typed text in here, lacks it";
  return false;
}
