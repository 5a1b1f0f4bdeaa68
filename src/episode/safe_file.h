// Replacing a file so that a failure part way never leaves it half written: the new content goes
// to a temporary file beside the target, which is renamed over it only when complete and synced.
#pragma once

#include <cstddef>
#include <string>

struct PendingFile {
  std::string targetName;
  std::string temporaryName;
  long long handle = -1;  // the platform's descriptor or handle of the temporary file
  bool failed = false;
};

// Creates the temporary file. False (and nothing left behind) when it cannot be created.
bool beginReplace(PendingFile& file, const char* targetName);

// Appends bytes; once a write fails the file stays failed and later appends do nothing.
void appendBytes(PendingFile& file, const void* bytes, std::size_t size);

// Flushes to disk, closes and renames over the target. On any failure, or when an append failed,
// removes the temporary file, leaves the target as it was and returns false.
bool commitReplace(PendingFile& file);
