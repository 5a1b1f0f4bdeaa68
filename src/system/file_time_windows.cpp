#include <windows.h>

#include <string>

#include "file_time.h"
#include "wide_text.h"

bool lastWriteTime(const char* path, std::int64_t& ticks) {
  const std::wstring wide = widePath(path);
  if (wide.empty()) return false;
  // Opened for no access, as file_identity does, so that no sharing mode is in the way.
  HANDLE handle =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILETIME written{};
  const bool known = GetFileTime(handle, nullptr, nullptr, &written) != 0;
  CloseHandle(handle);
  if (!known) return false;
  ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                    written.dwLowDateTime);
  return true;
}
