#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "picture_file.h"

std::FILE* openPictureFile(const char* fileName) {
  // Without O_NONBLOCK, opening a FIFO waits until someone opens its other end.
  int descriptor = open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  bool regular = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  int flags = regular ? fcntl(descriptor, F_GETFL) : -1;
  if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(descriptor);
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) close(descriptor);
  return file;
}
