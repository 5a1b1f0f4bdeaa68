#include <sys/stat.h>

#include <cerrno>

#include "file_open.h"

// Only regular files: a folder opens for reading on POSIX and then has an absurd size, and a
// pipe or a device has none at all.
std::FILE* openForReading(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return nullptr;
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)) return file;
  const int reason = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  std::fclose(file);
  errno = reason;
  return nullptr;
}

bool pathExists(const char* path) {
  struct stat status;
  return lstat(path, &status) == 0;
}
