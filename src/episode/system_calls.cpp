#include "system_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

int openFile(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

}  // namespace

SystemCalls realSystemCalls() {
  return SystemCalls{&openFile, &::write, &::fsync, &::close, &std::rename, &::unlink};
}

SystemCalls systemCalls = realSystemCalls();
