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

namespace {

FileKind kindOfHandle(HANDLE handle) {
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return FileKind::kRegular;
    case FILE_TYPE_PIPE:
      return FileKind::kPipe;
    case FILE_TYPE_CHAR:
      return FileKind::kCharacterDevice;
    default:
      return FileKind::kOther;
  }
}

}  // namespace

FileKind fileKindOf(const char* path) {
  if (std::strcmp(path, "-") == 0) return kindOfHandle(GetStdHandle(STD_INPUT_HANDLE));
  const std::wstring wide = widePath(path);
  if (wide.empty()) return FileKind::kMissing;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileKind::kFolder;
  }
  // A pipe is told from its name: opening it, even to look, would take the writer's reader.
  const std::wstring pipes = L"\\\\.\\pipe\\";
  if (wide.compare(0, pipes.size(), pipes) == 0) return FileKind::kPipe;
  // Anything else is opened without reading to learn what it is: a device name (CON, NUL,
  // COM1) has no attributes of a file on disk to go by.
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileKind::kMissing;
  const FileKind kind = kindOfHandle(handle);
  CloseHandle(handle);
  return kind;
}

std::FILE* openStreamSource(const char* path) {
  const bool standardInput = std::strcmp(path, "-") == 0;
  std::FILE* source = nullptr;
  if (standardInput) {
    _setmode(_fileno(stdin), _O_BINARY);
    source = stdin;
  } else {
    const std::wstring wide = widePath(path);
    source = wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
  }
  if (source == nullptr) return nullptr;
  // Checked on what was opened: a console or a device would make the read wait or never end.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(source)));
  if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_CHAR) return source;
  if (!standardInput) std::fclose(source);
  errno = ENXIO;
  return nullptr;
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
