// Opening files for reading by a path given as UTF-8 text on every platform (POSIX passes it
// through; Windows converts it for its wide calls), without ever waiting on them: a name that
// leads to a pipe, a device or a folder is refused at once instead of blocking until something
// writes to it.
#pragma once

#include <cstdio>

// The regular file at `path`, opened for binary reading; null otherwise, with errno saying why
// (EISDIR for a folder, EINVAL for a pipe or a device). The caller closes it.
std::FILE* openForReading(const char* path);

// True when something (a file, a folder, a dangling link) already has this name.
bool pathExists(const char* path);
