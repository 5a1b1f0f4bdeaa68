#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "safe_file.h"
#include "system_calls.h"

namespace {

constexpr int kNameAttempts = 100;

// Beside the target (same directory, so the rename cannot cross file systems) and unlikely to
// meet another file; O_EXCL settles it when it does.
std::string temporaryNameFor(const std::string& target, int attempt) {
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%ld-%llx-%d.tmp", static_cast<long>(getpid()),
                static_cast<unsigned long long>(ticks) & 0xFFFFFFull, attempt);
  return target + suffix;
}

int descriptorOf(const PendingFile& file) { return static_cast<int>(file.handle); }

void discard(PendingFile& file) {
  if (file.handle >= 0) systemCalls.close(descriptorOf(file));
  file.handle = -1;
  systemCalls.unlink(file.temporaryName.c_str());
}

}  // namespace

bool beginReplace(PendingFile& file, const char* targetName) {
  file = PendingFile{};
  file.targetName = targetName;
  if (file.targetName.empty()) return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    file.temporaryName = temporaryNameFor(file.targetName, attempt);
    // 0666 less the umask: the permissions a file made by fopen(name, "wb") would get.
    int descriptor =
        systemCalls.open(file.temporaryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      file.handle = descriptor;
      return true;
    }
    if (errno != EEXIST && errno != EINTR) return false;
  }
  return false;
}

void appendBytes(PendingFile& file, const void* bytes, std::size_t size) {
  const char* next = static_cast<const char*>(bytes);
  while (!file.failed && size > 0) {
    ssize_t written = systemCalls.write(descriptorOf(file), next, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      file.failed = true;
      break;
    }
    next += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool commitReplace(PendingFile& file) {
  if (file.handle < 0) return false;
  bool complete = !file.failed && systemCalls.fsync(descriptorOf(file)) == 0;
  int descriptor = descriptorOf(file);
  file.handle = -1;
  complete = systemCalls.close(descriptor) == 0 && complete;
  if (complete && systemCalls.rename(file.temporaryName.c_str(), file.targetName.c_str()) == 0) {
    return true;
  }
  discard(file);
  return false;
}
