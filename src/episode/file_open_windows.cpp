#include <windows.h>

#include <string>

#include "file_open.h"

namespace {

std::wstring fromUtf8(const char* text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
  wide.resize(static_cast<std::size_t>(length) - 1);
  return wide;
}

}  // namespace

std::FILE* openForReading(const char* path) {
  std::wstring wide = fromUtf8(path);
  if (wide.empty()) return nullptr;
  return _wfopen(wide.c_str(), L"rb");
}

bool pathExists(const char* path) {
  std::wstring wide = fromUtf8(path);
  return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}
