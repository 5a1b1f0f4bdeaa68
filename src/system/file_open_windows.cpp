#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "file_open.h"
#include "stream_source.h"
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

std::FILE* openStreamSource(const char* path) {
  if (std::strcmp(path, "-") == 0) {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
  }
  const std::wstring wide = widePath(path);
  return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
}

std::FILE* fileOfBytes(const std::string& bytes) {
  // A temporary file that the C runtime removes when it is closed ("D").
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"dvd", 0, name) == 0) {
    return nullptr;
  }
  std::FILE* file = _wfopen(name, L"w+bD");
  if (file == nullptr) {
    DeleteFileW(name);
    return nullptr;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
