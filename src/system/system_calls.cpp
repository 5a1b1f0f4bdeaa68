#include "system_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Wrapped: the C library may declare these with extra attributes or as inline functions, and a
// table entry needs exactly this signature.
int openFile(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int statLink(const char* path, struct stat* status) { return ::lstat(path, status); }
ssize_t readLink(const char* path, char* target, size_t size) {
  return ::readlink(path, target, size);
}
int changeMode(int descriptor, mode_t mode) { return ::fchmod(descriptor, mode); }
int linkFile(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  return ::linkat(fromDirectory, from, toDirectory, to, flags);
}

// Apple's fsync hands the data to the drive, whose cache may still lose it; F_FULLFSYNC (only
// Apple systems define it) asks the drive to write it out. File systems that do not support it
// refuse it, and then fsync is the best there is.
int syncToDisk(int descriptor) {
#ifdef F_FULLFSYNC
  if (::fcntl(descriptor, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(descriptor);
}

}  // namespace

SystemCalls realSystemCalls() {
  return SystemCalls{&openFile, &::write,  &syncToDisk, &::close,    &std::rename,
                     &::unlink, &statLink, &readLink,   &changeMode, &linkFile};
}

SystemCalls systemCalls = realSystemCalls();
