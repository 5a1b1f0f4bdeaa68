#include <windows.h>

#include "wide_text.h"

std::wstring wideFromCodePage(unsigned codePage, const std::string& text) {
  if (text.empty() || text.size() > 0x7FFFFFFF) return std::wstring();
  const int size = static_cast<int>(text.size());
  const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), size, &wide[0], length);
  return wide;
}

std::string utf8FromWide(const std::wstring& wide) {
  if (wide.empty() || wide.size() > 0x7FFFFFFF) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &text[0], length, nullptr, nullptr);
  return text;
}
