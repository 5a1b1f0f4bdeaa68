#include <sys/stat.h>

#include "file_identity.h"
#include "file_time.h"

bool identifyFile(const char* path, FileIdentity& identity) {
  struct stat status {};
  if (stat(path, &status) != 0) return false;
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.index = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

bool lastWriteTime(const char* path, std::int64_t& ticks) {
  struct stat status {};
  if (stat(path, &status) != 0) return false;
  ticks = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return true;
}
