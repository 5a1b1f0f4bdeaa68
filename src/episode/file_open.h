// Opening files by a path given as UTF-8 text on every platform (POSIX passes it through; Windows
// converts it to UTF-16 for its wide calls).
#pragma once

#include <cstdio>

// Null for anything but a regular file (errno says why).
std::FILE* openForReading(const char* path);

// True when something (a file, a folder, a dangling link) already has this name.
bool pathExists(const char* path);
