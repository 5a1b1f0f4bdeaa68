// What a pending replacement does when it is moved or goes out of scope, the same on every
// platform: the temporary file has one owner, and one that is never committed is removed.
#include <utility>

#include "safe_file.h"

PendingFile::PendingFile(PendingFile&& other) noexcept
    : targetName(std::move(other.targetName)),
      temporaryName(std::move(other.temporaryName)),
      unnamed(other.unnamed),
      handle(other.handle),
      failed(other.failed) {
  other.handle = -1;
  other.temporaryName.clear();
}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this == &other) return *this;
  abandonReplace(*this);
  targetName = std::move(other.targetName);
  temporaryName = std::move(other.temporaryName);
  unnamed = other.unnamed;
  handle = other.handle;
  failed = other.failed;
  other.handle = -1;
  other.temporaryName.clear();
  return *this;
}

PendingFile::~PendingFile() { abandonReplace(*this); }
