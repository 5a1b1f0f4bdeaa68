#include <windows.h>

#include <string>

#include "file_identity.h"
#include "file_time.h"
#include "wide_text.h"

namespace {

// The file at `path`, links followed, opened for its information alone: no access is asked
// for, so no sharing mode is in the way. INVALID_HANDLE_VALUE when it cannot be found.
HANDLE openForInformation(const char* path) {
  const std::wstring wide = widePath(path);
  if (wide.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool identifyFile(const char* path, FileIdentity& identity) {
  HANDLE handle = openForInformation(path);
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

bool lastWriteTime(const char* path, std::int64_t& ticks) {
  HANDLE handle = openForInformation(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILETIME written{};
  const bool known = GetFileTime(handle, nullptr, nullptr, &written) != 0;
  CloseHandle(handle);
  if (!known) return false;
  ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                    written.dwLowDateTime);
  return true;
}
