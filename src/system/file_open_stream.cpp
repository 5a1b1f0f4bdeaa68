#include <cerrno>
#include <cstring>
#include <string>

#include "file_open.h"
#include "stream_source.h"

std::FILE* openWholeStream(const char* path, std::int64_t limit) {
  const bool standardInput = std::strcmp(path, "-") == 0;
  std::FILE* source = openStreamSource(path);
  if (source == nullptr) return nullptr;
  std::string bytes;
  char chunk[65536];
  bool tooLarge = false;
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, source)) > 0) {
    if (static_cast<std::int64_t>(bytes.size() + got) > limit) {
      tooLarge = true;
      break;
    }
    bytes.append(chunk, got);
  }
  const bool failed = std::ferror(source) != 0;
  const int readError = errno;
  if (!standardInput) std::fclose(source);
  if (tooLarge || failed) {
    errno = tooLarge ? EFBIG : readError;
    return nullptr;
  }
  return fileOfBytes(bytes);
}
