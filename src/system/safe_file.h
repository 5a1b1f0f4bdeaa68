// Replacing a file so that a failure part way never leaves it half written: the new content goes
// to a temporary file beside the target, which is renamed over it only when complete and synced.
// Where the system allows, the temporary file has no name until then, so that even a killed
// process leaves nothing behind; elsewhere the next replacement of the same target removes the
// temporary files of processes that no longer run (stale_temporaries.h).
//
// What a replaced file keeps: its permission bits, and the symbolic links that lead to it (the
// file at the end of the links is the one replaced). What it does not keep: other hard links to
// it, which go on naming the old content. What is never replaced: anything that is not a regular
// file (a directory, a device, a pipe) and the files the caller names as untouchable.
#pragma once

#include <cstddef>
#include <string>

#include "file_identity.h"

struct PendingFile {
  std::string targetName;     // the file that will be replaced: the typed name with links followed
  std::string temporaryName;  // empty while the file has no name
  bool unnamed = false;       // written to a file without a name, named only when complete
  long long handle = -1;      // the platform's descriptor or handle of the temporary file
  bool failed = false;

  PendingFile() = default;
  // One owner of the temporary file: moving hands it on, and a file still pending when it goes
  // (an early return, an exception between begin and commit) is discarded, target untouched.
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();
};

// Creates the temporary file. False (and nothing created or changed) when the target is not a
// regular file, is one of `untouchable`, or the temporary file cannot be made.
bool beginReplace(PendingFile& file, const char* targetName,
                  const FileIdentities& untouchable = {});

// Appends bytes; once a write fails the file stays failed and later appends do nothing.
void appendBytes(PendingFile& file, const void* bytes, std::size_t size);

// Flushes to disk, closes and renames over the target, then makes the rename itself durable (on
// POSIX the folder is synced; on Windows the move is made write-through), so that once this
// returns true a power cut cannot bring the old file back. On any failure before the rename, or
// when an append failed, removes the temporary file, leaves the target as it was and returns
// false; when only the folder's sync fails, the new file is in place but may not survive a power
// cut, and the result is false too.
bool commitReplace(PendingFile& file);

// Removes the temporary file and leaves the target as it was; nothing when no file is pending.
void abandonReplace(PendingFile& file);

// For a thread the program starts: the terminating signals are not handled on it, so that the
// handler that removes a pending temporary file, and any the program had before, run on the
// main thread. Nothing on Windows.
void blockTerminatingSignalsInThisThread();
