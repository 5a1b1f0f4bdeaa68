#include <io.h>
#include <windows.h>

#include <string>

#include "picture_file.h"

namespace {

// The wide form of a UTF-8 name; empty when the bytes are not UTF-8.
std::wstring wideName(const char* fileName) {
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, fileName, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, fileName, -1, &wide[0], length) !=
      length) {
    return std::wstring();
  }
  wide.resize(static_cast<std::size_t>(length) - 1);
  return wide;
}

}  // namespace

std::FILE* openPictureFile(const char* fileName) {
  const std::wstring name = wideName(fileName);
  if (name.empty()) return nullptr;
  std::FILE* file = _wfopen(name.c_str(), L"rb");
  if (file == nullptr) return nullptr;
  // Devices and pipes (CON, COM1, \\.\pipe\...) would make a read wait; only disk files pass.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
