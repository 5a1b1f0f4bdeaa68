// What openWholeStream needs of the platform, one file each: where the bytes come from, and a
// seekable file holding them. For the system library's own files only.
#pragma once

#include <cstdio>
#include <string>

// Standard input in binary mode for "-", else the file at `path` opened for binary reading,
// waiting for a writer as a pipe does. Null, with errno ENXIO (a device) or EISDIR (a folder),
// when what was opened is one that a read would never finish or make sense of.
std::FILE* openStreamSource(const char* path);

// A file, open for reading from its start, that holds `bytes` and goes away when closed.
std::FILE* fileOfBytes(const std::string& bytes);
