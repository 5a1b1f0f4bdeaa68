// When a file was last written, as finely as the system keeps it (nanoseconds on POSIX, 100 ns
// on Windows), links followed, for deciding whether an output is newer than what it is made
// from. Times are compared with each other only, never shown. Its files are file_identity's:
// both ask the system the same question of a file.
#pragma once

#include <cstdint>

// False when the file cannot be found.
bool lastWriteTime(const char* path, std::int64_t& ticks);
