#include <windows.h>

#include <cstdio>
#include <string>

#include "safe_file.h"
#include "stale_temporaries.h"
#include "wide_text.h"

namespace {

constexpr int kNameAttempts = 100;

// The file a symbolic link leads to, as a full path; the typed name when it is no link.
std::string finalName(const std::string& name, HANDLE target) {
  const DWORD attributes = GetFileAttributesW(widePath(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return name;
  }
  DWORD length = GetFinalPathNameByHandleW(target, nullptr, 0, FILE_NAME_NORMALIZED);
  if (length == 0) return std::string();
  std::wstring wide(length, L'\0');
  length = GetFinalPathNameByHandleW(target, &wide[0], length, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= wide.size()) return std::string();
  wide.resize(length);
  return utf8FromWide(wide);
}

// Settles which file will be replaced. False when the name cannot be used, or names something
// that is not a regular file or is one of the untouchable files.
bool chooseTarget(const char* typed, const FileIdentities& untouchable, std::string& target) {
  const std::wstring wide = widePath(typed);
  if (wide.empty()) return false;
  HANDLE handle =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    target = typed;  // a new file, or a name the creation itself will refuse
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  bool usable = GetFileType(handle) == FILE_TYPE_DISK &&
                GetFileInformationByHandle(handle, &information) &&
                !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (usable) {
    const FileIdentity identity{
        information.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    for (const FileIdentity& other : untouchable) usable = usable && !sameFile(identity, other);
  }
  if (usable) target = finalName(typed, handle);
  CloseHandle(handle);
  return usable && !target.empty();
}

std::string temporaryNameFor(const std::string& target, int attempt) {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lu-%lx-%d.tmp", GetCurrentProcessId(),
                static_cast<unsigned long>(GetTickCount() & 0xFFFFFF), attempt);
  return target + suffix;
}

// A process that cannot be opened because the system does not know its number has ended; one
// that may not be opened (another user's) is taken to run.
bool processRuns(unsigned long long processId) {
  if (processId == 0 || processId > 0xFFFFFFFFull) return false;
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD exitCode = 0;
  const bool runs = !GetExitCodeProcess(process, &exitCode) || exitCode == STILL_ACTIVE;
  CloseHandle(process);
  return runs;
}

// Windows has no file without a name, so a killed build leaves its temporary file; the next
// replacement of the same target removes it. Best effort: what cannot be removed stays.
void removeStaleTemporaries(const std::string& target) {
  const std::size_t separator = target.find_last_of("/\\");
  const std::string folder = separator == std::string::npos ? "" : target.substr(0, separator + 1);
  const std::string targetLeaf = target.substr(folder.size());
  const std::wstring pattern = widePath(folder + "*");
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string leaf = utf8FromWide(found.cFileName);
    unsigned long long processId = 0;
    const bool plainFile =
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (plainFile && isTemporaryFor(targetLeaf, leaf, processId) && !processRuns(processId)) {
      DeleteFileW(widePath(folder + leaf).c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

HANDLE handleOf(const PendingFile& file) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file.handle));
}

void discard(PendingFile& file) {
  if (file.handle >= 0) CloseHandle(handleOf(file));
  file.handle = -1;
  if (!file.temporaryName.empty()) DeleteFileW(widePath(file.temporaryName).c_str());
  file.temporaryName.clear();
}

}  // namespace

bool beginReplace(PendingFile& file, const char* targetName, const FileIdentities& untouchable) {
  file = PendingFile{};
  if (targetName == nullptr || *targetName == '\0') return false;
  if (!chooseTarget(targetName, untouchable, file.targetName)) return false;
  removeStaleTemporaries(file.targetName);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // The name is the file's only once it is made: a name that was taken belongs to someone else.
    const std::string name = temporaryNameFor(file.targetName, attempt);
    HANDLE handle = CreateFileW(widePath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle = static_cast<long long>(reinterpret_cast<intptr_t>(handle));
      file.temporaryName = name;
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
  // Write-through: the move returns only once it is on disk, as a synced folder is on POSIX.
  if (complete &&
      MoveFileExW(widePath(file.temporaryName).c_str(), widePath(file.targetName).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    file.temporaryName.clear();
    return true;
  }
  discard(file);
  return false;
}

void abandonReplace(PendingFile& file) {
  if (file.handle < 0 && file.temporaryName.empty()) return;
  discard(file);
}

// Windows ends a console program through a handler thread of its own, not a signal.
void blockTerminatingSignalsInThisThread() {}
