// Opening files for reading by a path given as UTF-8 text on every platform (POSIX passes it
// through; Windows converts it for its wide calls), without ever waiting on them: a name that
// leads to a pipe, a device or a folder is refused at once instead of blocking until something
// writes to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// The regular file at `path`, opened for binary reading; null otherwise, with errno saying why
// (EISDIR for a folder; ENXIO for a pipe, a device or a socket, a code Windows' own open never
// gives, so that it cannot stand for a bad name there). The caller closes it.
std::FILE* openForReading(const char* path);

// True when something (a file, a folder, a dangling link) already has this name.
bool pathExists(const char* path);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The size of an open file in bytes, or -1; the position is left at the end.
inline std::int64_t fileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  return std::ftell(file);
}

// What a name leads to, links followed; "-" names standard input.
enum class FileKind {
  kMissing,  // nothing by that name, or it cannot be looked at
  kRegular,
  kFolder,
  kPipe,
  kCharacterDevice,  // a terminal, /dev/null, /dev/zero...
  kBlockDevice,
  kSocket,
  kOther,
};
FileKind fileKindOf(const char* path);

// Standard input ("-"), or the pipe at `path`, read to its end and handed back as a file that
// can be sought like a regular one (an episode file is read more than once). At most `limit`
// bytes: past them, null with errno EFBIG. A device or a folder, whatever the name said when it
// was looked at, is refused before anything is read from it: null with errno ENXIO or EISDIR.
// Null with errno set when it cannot be read.
std::FILE* openWholeStream(const char* path, std::int64_t limit);
