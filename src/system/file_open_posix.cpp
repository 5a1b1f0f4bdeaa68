#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "file_open.h"

namespace {

std::FILE* refuse(int descriptor, int reason) {
  close(descriptor);
  errno = reason;
  return nullptr;
}

}  // namespace

std::FILE* openForReading(const char* path) {
  // Without O_NONBLOCK, opening a FIFO waits until someone opens its other end.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  if (fstat(descriptor, &status) != 0) return refuse(descriptor, errno);
  if (!S_ISREG(status.st_mode)) return refuse(descriptor, S_ISDIR(status.st_mode) ? EISDIR : ENXIO);
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return refuse(descriptor, errno);
  }
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) return refuse(descriptor, errno);
  return file;
}

bool pathExists(const char* path) {
  struct stat status;
  return lstat(path, &status) == 0;
}
