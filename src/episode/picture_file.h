// Opening a picture for reading without ever waiting on it: a name that leads to a pipe, a device
// or a folder is refused at once instead of blocking the dialogue until something writes to it.
#pragma once

#include <cstdio>

// The file named fileName (used exactly as typed; UTF-8 on Windows) opened for binary reading,
// or null when it cannot be opened or is not a regular file. The caller closes it.
std::FILE* openPictureFile(const char* fileName);
