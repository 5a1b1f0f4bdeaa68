#include <io.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "file_open.h"
#include "wide_text.h"

std::FILE* openForReading(const char* path) {
  const std::wstring wide = widePath(path);
  if (wide.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  std::FILE* file = _wfopen(wide.c_str(), L"rb");
  if (file == nullptr) return nullptr;
  // Devices and pipes (CON, COM1, \\.\pipe\...) would make a read wait; only disk files pass.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(file);
    errno = ENXIO;  // never one of _wfopen's own, so it can only mean this
    return nullptr;
  }
  return file;
}

bool pathExists(const char* path) {
  const std::wstring wide = widePath(path);
  return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}
