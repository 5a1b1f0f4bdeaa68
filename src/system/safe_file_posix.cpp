#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "safe_file.h"
#include "stale_temporaries.h"
#include "system_calls.h"

namespace {

constexpr int kNameAttempts = 100;
constexpr int kMostLinksFollowed = 40;             // the kernel's own limit for one path
constexpr std::size_t kLongestLinkText = 1 << 20;  // far beyond any path the system takes

// --- The temporary file and the signals that end the program -----------------------------------
//
// A signal that ends the program while the temporary file exists must not leave it behind. While
// one exists, the terminating signals go to a handler that removes it, puts back the action that
// was there before and raises the signal again, so the earlier handler (which gives the terminal
// back) or the default action still runs. SIGXFSZ is ignored meanwhile: a file-size limit is then
// a failed write, not a killed program.

constexpr int kTerminatingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kTerminatingSignals / sizeof kTerminatingSignals[0];

// Shared with the handler; changed only with the terminating signals blocked in the thread that
// changes them. The handler may still run on another thread (the build's workers block these
// signals, so it runs on the main one while a worker writes): the temporary's name is therefore
// published whole through one atomic pointer, into one of two slots taken in turn, so that the
// slot being filled is never the one the handler may be reading. Files are written one at a
// time in a process.
static_assert(ATOMIC_POINTER_LOCK_FREE == 2, "the handler reads the name without a lock");
std::string pendingSlots[2];
int nextSlot = 0;
std::atomic<const char*> pendingTemporary{nullptr};
volatile sig_atomic_t handlersInstalled = 0;
struct sigaction previousActions[kSignalCount];
bool replacedAction[kSignalCount];
struct sigaction previousFileSizeAction;

void restoreActions() {
  if (!handlersInstalled) return;
  for (int i = 0; i < kSignalCount; ++i) {
    if (replacedAction[i]) sigaction(kTerminatingSignals[i], &previousActions[i], nullptr);
  }
  sigaction(SIGXFSZ, &previousFileSizeAction, nullptr);
  handlersInstalled = 0;
}

// Only async-signal-safe calls in here: unlink, sigaction, raise.
void onTerminatingSignal(int signalNumber) {
  const int savedErrno = errno;
  const char* temporary = pendingTemporary.exchange(nullptr);
  if (temporary != nullptr) ::unlink(temporary);
  restoreActions();
  raise(signalNumber);  // blocked until this handler returns, then handled as before
  errno = savedErrno;
}

void installActions() {
  struct sigaction action {};
  action.sa_handler = &onTerminatingSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kTerminatingSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kTerminatingSignals[i], nullptr, &previousActions[i]);
    // A signal the program was told to ignore (nohup) stays ignored.
    replacedAction[i] = previousActions[i].sa_handler != SIG_IGN;
    if (replacedAction[i]) sigaction(kTerminatingSignals[i], &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &previousFileSizeAction);
  handlersInstalled = 1;
}

// Holds the terminating signals back while the handler's view of the temporary file changes.
struct SignalsHeld {
  SignalsHeld() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signalNumber : kTerminatingSignals) sigaddset(&blocked, signalNumber);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previousMask, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  sigset_t previousMask;
};

void publishTemporary(const std::string& name) {
  std::string& slot = pendingSlots[nextSlot];
  nextSlot ^= 1;
  slot = name;
  pendingTemporary.store(slot.c_str());
}

void forgetTemporary() {
  pendingTemporary.store(nullptr);
  restoreActions();
}

// --- Where the new file goes -------------------------------------------------------------------

// The folder part of a path with its final slash ("" for a bare name), and the rest.
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string leafOf(const std::string& path) { return path.substr(folderOf(path).size()); }

bool readLinkText(const std::string& link, std::string& text) {
  for (std::size_t room = 256; room <= kLongestLinkText; room *= 2) {
    std::vector<char> buffer(room);
    const ssize_t length = systemCalls.readlink(link.c_str(), buffer.data(), room);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < room) {
      text.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
  }
  errno = ENAMETOOLONG;
  return false;
}

// Follows symbolic links from `name` to the file they lead to, which need not exist yet (a link
// may point to the file it is meant to become). `exists` tells whether `status` describes it.
bool resolveTarget(const std::string& name, std::string& target, struct stat& status,
                   bool& exists) {
  target = name;
  for (int hop = 0; hop <= kMostLinksFollowed; ++hop) {
    if (systemCalls.lstat(target.c_str(), &status) != 0) {
      exists = false;
      return errno == ENOENT;
    }
    if (!S_ISLNK(status.st_mode)) {
      exists = true;
      return true;
    }
    std::string linkText;
    if (!readLinkText(target, linkText) || linkText.empty()) return false;
    target = linkText[0] == '/' ? linkText : folderOf(target) + linkText;
  }
  errno = ELOOP;
  return false;
}

bool isUntouchable(const struct stat& status, const FileIdentities& untouchable) {
  const FileIdentity identity{static_cast<std::uint64_t>(status.st_dev),
                              static_cast<std::uint64_t>(status.st_ino)};
  for (const FileIdentity& other : untouchable) {
    if (sameFile(identity, other)) return true;
  }
  return false;
}

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

// --- A temporary file without a name --------------------------------------------------------
//
// Where the file system has O_TMPFILE (Linux), the new content goes to a file with no name at
// all, which the kernel removes whatever ends the process, SIGKILL included. It gets a name
// (through /proc, which links an open file without special rights) only once it is complete and
// synced, just before the rename: a kill then can leave it only in that moment, and the next
// replacement of the target tidies that up.

enum class Unnamed { kOpened, kUnsupported, kFailed };

// kUnsupported sends the caller to a named temporary file: the system or the file system has no
// unnamed files (an old kernel reads the flag as a request for a directory). Any other refusal
// (no right to write in the folder, a full disk) would refuse a named one as well.
Unnamed openUnnamed(PendingFile& file) {
#ifdef O_TMPFILE
  if (::access("/proc/self/fd", X_OK) != 0) return Unnamed::kUnsupported;
  const std::string folder = folderOf(file.targetName);
  int descriptor;
  do {
    descriptor = systemCalls.open(folder.empty() ? "." : folder.c_str(),
                                  O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
    return unsupported ? Unnamed::kUnsupported : Unnamed::kFailed;
  }
  file.handle = descriptor;
  file.unnamed = true;
  return Unnamed::kOpened;
#else
  (void)file;
  return Unnamed::kUnsupported;
#endif
}

// Gives the unnamed file its temporary name, which the signal handler then knows.
bool nameUnnamed(PendingFile& file, int descriptor) {
  char opened[64];
  std::snprintf(opened, sizeof opened, "/proc/self/fd/%d", descriptor);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = temporaryNameFor(file.targetName, attempt);
    SignalsHeld held;
    if (systemCalls.linkat(AT_FDCWD, opened, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file.temporaryName = name;
      file.unnamed = false;
      publishTemporary(name);
      return true;
    }
    if (errno != EEXIST && errno != EINTR) return false;
  }
  return false;
}

// --- Temporary files of processes that were killed ---------------------------------------------

bool processRuns(unsigned long long processId) {
  const pid_t asPid = static_cast<pid_t>(processId);
  if (asPid <= 0 || static_cast<unsigned long long>(asPid) != processId) return false;
  return ::kill(asPid, 0) == 0 || errno == EPERM;
}

// Best effort: a name that cannot be read or removed is left as it is.
void removeStaleTemporaries(const std::string& target) {
  const std::string folder = folderOf(target);
  const std::string targetLeaf = leafOf(target);
  DIR* listing = ::opendir(folder.empty() ? "." : folder.c_str());
  if (listing == nullptr) return;
  const int savedErrno = errno;
  while (const struct dirent* entry = ::readdir(listing)) {
    unsigned long long processId = 0;
    if (!isTemporaryFor(targetLeaf, entry->d_name, processId) || processRuns(processId)) continue;
    const std::string name = folder + entry->d_name;
    struct stat status {};
    if (systemCalls.lstat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      systemCalls.unlink(name.c_str());
    }
  }
  ::closedir(listing);
  errno = savedErrno;
}

// The name is the file's only once it is made: a name that was taken belongs to someone else.
bool createTemporary(PendingFile& file) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = temporaryNameFor(file.targetName, attempt);
    // 0666 less the umask: the permissions a file made by fopen(name, "wb") would get.
    int descriptor = systemCalls.open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      file.handle = descriptor;
      file.temporaryName = name;
      return true;
    }
    if (errno != EEXIST && errno != EINTR) return false;
  }
  return false;
}

// Makes the rename durable: a rename lives in the folder, which has its own data to sync. A
// folder this process may not open for reading cannot be synced and is left as it is (the
// rename is still done); a sync that fails is a write that failed.
bool syncFolderOf(const std::string& target) {
  const std::string folder = folderOf(target);
  int descriptor;
  do {
    descriptor = systemCalls.open(folder.empty() ? "." : folder.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return errno == EACCES || errno == EPERM;
  // Some file systems cannot sync a folder at all (EINVAL): nothing more can be done there.
  const bool synced = systemCalls.fsync(descriptor) == 0 || errno == EINVAL;
  const int savedErrno = errno;
  systemCalls.close(descriptor);
  errno = savedErrno;
  return synced;
}

void discard(PendingFile& file) {
  const int savedErrno = errno;
  if (file.handle >= 0) systemCalls.close(descriptorOf(file));
  file.handle = -1;
  SignalsHeld held;
  if (!file.temporaryName.empty()) systemCalls.unlink(file.temporaryName.c_str());
  file.temporaryName.clear();
  forgetTemporary();
  errno = savedErrno;  // the caller's reason for giving up, not the clean-up's
}

}  // namespace

bool beginReplace(PendingFile& file, const char* targetName, const FileIdentities& untouchable) {
  file = PendingFile{};
  if (targetName == nullptr || *targetName == '\0') return false;
  struct stat status {};
  bool exists = false;
  if (!resolveTarget(targetName, file.targetName, status, exists)) return false;
  if (exists && (!S_ISREG(status.st_mode) || isUntouchable(status, untouchable))) return false;
  removeStaleTemporaries(file.targetName);
  {
    // Installed for the unnamed file too: they keep SIGXFSZ ignored while it is written, and
    // are ready for the moment it has a name.
    SignalsHeld held;
    installActions();
    const Unnamed unnamed = openUnnamed(file);
    if (unnamed != Unnamed::kOpened) {
      if (unnamed == Unnamed::kFailed || !createTemporary(file)) {
        const int savedErrno = errno;
        restoreActions();
        errno = savedErrno;
        return false;
      }
      publishTemporary(file.temporaryName);
    }
  }
  if (exists && systemCalls.fchmod(descriptorOf(file), status.st_mode & 07777) != 0) {
    discard(file);
    return false;
  }
  return true;
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
  if (complete && file.unnamed) complete = nameUnnamed(file, descriptor);
  file.handle = -1;
  complete = systemCalls.close(descriptor) == 0 && complete;
  {
    SignalsHeld held;
    if (!complete || systemCalls.rename(file.temporaryName.c_str(), file.targetName.c_str()) != 0) {
      discard(file);
      return false;
    }
    file.temporaryName.clear();
    forgetTemporary();
  }
  return syncFolderOf(file.targetName);
}

void abandonReplace(PendingFile& file) {
  if (file.handle < 0 && file.temporaryName.empty()) return;
  discard(file);
}

void blockTerminatingSignalsInThisThread() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signalNumber : kTerminatingSignals) sigaddset(&blocked, signalNumber);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}
