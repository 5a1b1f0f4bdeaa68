// The POSIX calls that writing a file depends on, behind one table so tests can make any of them
// fail on purpose. Production code calls them only through `systemCalls`.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int descriptor, const void* bytes, size_t size);
  int (*fsync)(int descriptor);
  int (*close)(int descriptor);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*lstat)(const char* path, struct stat* status);
  ssize_t (*readlink)(const char* path, char* target, size_t size);
  int (*fchmod)(int descriptor, mode_t mode);
  int (*linkat)(int fromDirectory, const char* from, int toDirectory, const char* to, int flags);
};

extern SystemCalls systemCalls;

// The real calls, for tests that wrap them and put them back.
SystemCalls realSystemCalls();
