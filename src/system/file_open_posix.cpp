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

FileKind fileKindOf(const char* path) {
  struct stat status {};
  const int result =
      std::strcmp(path, "-") == 0 ? fstat(STDIN_FILENO, &status) : stat(path, &status);
  if (result != 0) return FileKind::kMissing;
  if (S_ISREG(status.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(status.st_mode)) return FileKind::kFolder;
  if (S_ISFIFO(status.st_mode)) return FileKind::kPipe;
  if (S_ISCHR(status.st_mode)) return FileKind::kCharacterDevice;
  if (S_ISBLK(status.st_mode)) return FileKind::kBlockDevice;
  if (S_ISSOCK(status.st_mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

std::FILE* openStreamSource(const char* path) {
  const bool standardInput = std::strcmp(path, "-") == 0;
  std::FILE* source = standardInput ? stdin : std::fopen(path, "rb");
  if (source == nullptr) return nullptr;
  // Checked on what was opened, not on the name: the name may lead elsewhere by now.
  struct stat status {};
  int reason = 0;
  if (fstat(fileno(source), &status) != 0) {
    reason = errno;
  } else if (S_ISDIR(status.st_mode)) {
    reason = EISDIR;
  } else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
    reason = ENXIO;
  }
  if (reason == 0) return source;
  if (!standardInput) std::fclose(source);
  errno = reason;
  return nullptr;
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
