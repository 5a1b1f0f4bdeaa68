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

}  // namespace

SystemCalls realSystemCalls() {
  return SystemCalls{&openFile, &::write,  &::fsync,  &::close,   &std::rename,
                     &::unlink, &statLink, &readLink, &changeMode};
}

SystemCalls systemCalls = realSystemCalls();
