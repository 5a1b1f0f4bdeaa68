#include <windows.h>

#include "field_text.h"

namespace {

// The code page the dialogue's answers arrive in: typed at the console, its input code page; from
// a file or a pipe, the ANSI code page.
UINT dialogueCodePage() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetFileType(input) == FILE_TYPE_CHAR && GetConsoleMode(input, &mode)) return GetConsoleCP();
  return GetACP();
}

std::wstring wideFromUtf8(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string utf8FromWide(const wchar_t* wide, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, length, &text[0], size, nullptr, nullptr);
  return text;
}

// The bytes of `length` UTF-16 units in the code page; false when one has no byte there and would
// have become the default character ('?').
bool inCodePage(UINT codePage, const wchar_t* wide, int length, std::string& bytes) {
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0,
                                       nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  bytes.assign(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, &bytes[0], size, nullptr,
                      &usedDefault);
  return !usedDefault;
}

// The first character (a surrogate pair counts as one) that the code page cannot hold.
std::string firstMissing(UINT codePage, const std::wstring& wide) {
  std::string ignored;
  for (std::size_t at = 0; at < wide.size();) {
    const bool pair = wide[at] >= 0xD800 && wide[at] < 0xDC00 && at + 1 < wide.size();
    const int units = pair ? 2 : 1;
    if (!inCodePage(codePage, wide.data() + at, units, ignored)) {
      return utf8FromWide(wide.data() + at, units);
    }
    at += static_cast<std::size_t>(units);
  }
  return std::string();
}

}  // namespace

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string& problem) {
  const UINT codePage = dialogueCodePage();
  // UTF-8 (65001) takes every character, and the default-character report is not allowed for it.
  if (argument.empty() || codePage == CP_UTF8) {
    bytes = argument;
    return true;
  }
  const std::wstring wide = wideFromUtf8(argument);
  if (inCodePage(codePage, wide.data(), static_cast<int>(wide.size()), bytes)) return true;
  problem = "'" + firstMissing(codePage, wide) + "' cannot be stored: code page " +
            std::to_string(codePage) + ", the one the dialogue stores typed text in here, lacks it";
  return false;
}
