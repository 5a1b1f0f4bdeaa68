#include <sys/stat.h>

#include "file_open.h"

std::FILE* openForReading(const char* path) { return std::fopen(path, "rb"); }

bool pathExists(const char* path) {
  struct stat status;
  return lstat(path, &status) == 0;
}
