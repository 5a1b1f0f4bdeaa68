// What makes two names the same file, whatever path was typed for each: the device and inode on
// POSIX, the volume serial number and file index on Windows. The writer is told which files it may
// not replace (the pictures an episode was made from) by their identities.
#pragma once

#include <cstdint>
#include <vector>

struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

using FileIdentities = std::vector<FileIdentity>;

inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The identity of the file a path names (links followed). False when it cannot be found out.
bool identifyFile(const char* path, FileIdentity& identity);
