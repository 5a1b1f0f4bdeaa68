#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_open.h"
#include "stream_source.h"

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

std::FILE* openStreamSource(const char* path) {
  return std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
}

std::FILE* fileOfBytes(const std::string& bytes) {
  // With no buffer of its own given, fmemopen makes one and frees it when the file is closed.
  // One byte more than the bytes: a write that ends short of the buffer's end leaves a zero
  // byte after it, and a full buffer would keep its last byte for that zero.
  std::FILE* file = fmemopen(nullptr, bytes.size() + 1, "w+b");
  if (file == nullptr) return nullptr;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
