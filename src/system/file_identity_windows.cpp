#include <windows.h>

#include <string>

#include "file_identity.h"
#include "wide_text.h"

bool identifyFile(const char* path, FileIdentity& identity) {
  const std::wstring wide = widePath(path);
  if (wide.empty()) return false;
  // No access asked for: only the file's information is read, so no sharing mode is in the way.
  HANDLE handle =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) return false;
  identity.volume = information.dwVolumeSerialNumber;
  identity.index =
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return true;
}
