#include <sys/stat.h>

#include "file_identity.h"

bool identifyFile(const char* path, FileIdentity& identity) {
  struct stat status {};
  if (stat(path, &status) != 0) return false;
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.index = static_cast<std::uint64_t>(status.st_ino);
  return true;
}
