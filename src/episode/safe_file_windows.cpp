#include <windows.h>

#include <cstdio>
#include <string>

#include "safe_file.h"

namespace {

constexpr int kNameAttempts = 100;

// Names are typed in the console's 8-bit code page; the wide calls want UTF-16.
std::wstring wideName(const std::string& name) {
  int length = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<std::size_t>(length) - 1);
  return wide;
}

std::string temporaryNameFor(const std::string& target, int attempt) {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lu-%lx-%d.tmp", GetCurrentProcessId(),
                static_cast<unsigned long>(GetTickCount() & 0xFFFFFF), attempt);
  return target + suffix;
}

HANDLE handleOf(const PendingFile& file) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file.handle));
}

void discard(PendingFile& file) {
  if (file.handle >= 0) CloseHandle(handleOf(file));
  file.handle = -1;
  DeleteFileW(wideName(file.temporaryName).c_str());
}

}  // namespace

bool beginReplace(PendingFile& file, const char* targetName) {
  file = PendingFile{};
  file.targetName = targetName;
  if (file.targetName.empty()) return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    file.temporaryName = temporaryNameFor(file.targetName, attempt);
    HANDLE handle = CreateFileW(wideName(file.temporaryName).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle = static_cast<long long>(reinterpret_cast<intptr_t>(handle));
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

void appendBytes(PendingFile& file, const void* bytes, std::size_t size) {
  const char* next = static_cast<const char*>(bytes);
  while (!file.failed && size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handleOf(file), next, chunk, &written, nullptr) || written == 0) {
      file.failed = true;
      break;
    }
    next += written;
    size -= written;
  }
}

bool commitReplace(PendingFile& file) {
  if (file.handle < 0) return false;
  bool complete = !file.failed && FlushFileBuffers(handleOf(file));
  HANDLE handle = handleOf(file);
  file.handle = -1;
  complete = CloseHandle(handle) && complete;
  if (complete &&
      MoveFileExW(wideName(file.temporaryName).c_str(), wideName(file.targetName).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  discard(file);
  return false;
}
