// Failures that a disk or the heap can produce at any moment, made to happen on purpose through
// the seams: the system-call table of the writer and the allocator of the importer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allocation.h"
#include "episode_file.h"
#include "picture_import.h"
#include "processors.h"
#include "safe_file.h"
#include "system_calls.h"
#include "test_support.h"

namespace {

enum Call {
  kOpen,
  kWrite,
  kFsync,
  kClose,
  kRename,
  kLstat,
  kReadlink,
  kFchmod,
  kLinkat,
  kCallKinds
};
const char* const kCallNames[] = {"open",  "write",    "fsync",  "close", "rename",
                                  "lstat", "readlink", "fchmod", "linkat"};

// What the fake calls do, and what they saw. Function pointers cannot capture, hence statics.
struct Plan {
  Call failing = kCallKinds;  // none
  int failOn = 0;             // the nth call of that kind fails (1 = the first)...
  int failTimes = 1;          // ...and so many calls from there on
  int failWithErrno = EIO;
  std::size_t writeLimit = 0;        // when not 0, a write takes at most this many bytes
  bool interruptEveryOther = false;  // odd-numbered calls of open and write see EINTR
  int raiseAtFsync = 0;              // a signal that arrives while the file is being synced
  int raiseAtRename = 0;             // ...or while it has its temporary name
  std::array<int, kCallKinds> calls{};
  int folderSyncsAfterRename = 0;  // fsyncs of a folder once the file was renamed
  int descriptorsOpened = 0;
  int descriptorsClosed = 0;
};
Plan plan;
SystemCalls real = realSystemCalls();

// The writer is tried twice over: where the file system gives files without a name (Linux's
// O_TMPFILE, named only when complete), and where it refuses them and a named temporary file
// is written instead.
bool unnamedFilesRefused = false;

bool asksForUnnamedFile(int flags) {
#ifdef O_TMPFILE
  return (flags & O_TMPFILE) == O_TMPFILE;
#else
  (void)flags;
  return false;
#endif
}

bool fails(Call call) {
  const int nth = ++plan.calls[call];
  if (plan.failing != call || nth < plan.failOn || nth >= plan.failOn + plan.failTimes) {
    return false;
  }
  errno = plan.failWithErrno;
  return true;
}

bool interrupted(Call call) {
  if (!plan.interruptEveryOther || plan.calls[call] % 2 == 0) return false;
  errno = EINTR;
  return true;
}

int fakeOpen(const char* path, int flags, mode_t mode) {
  if (unnamedFilesRefused && asksForUnnamedFile(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  // A folder is opened only to be synced; the steps of the file's own opening stay as counted.
  const bool folder = (flags & O_DIRECTORY) == O_DIRECTORY && !asksForUnnamedFile(flags);
  if (!folder && (fails(kOpen) || interrupted(kOpen))) return -1;
  int descriptor = real.open(path, flags, mode);
  if (descriptor >= 0) ++plan.descriptorsOpened;
  return descriptor;
}

ssize_t fakeWrite(int descriptor, const void* bytes, size_t size) {
  if (fails(kWrite) || interrupted(kWrite)) return -1;
  if (plan.writeLimit != 0 && size > plan.writeLimit) size = plan.writeLimit;
  return real.write(descriptor, bytes, size);
}

int fakeFsync(int descriptor) {
  if (plan.raiseAtFsync != 0) raise(plan.raiseAtFsync);
  struct stat status {};
  if (fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode) && plan.calls[kRename] > 0) {
    ++plan.folderSyncsAfterRename;
  }
  return fails(kFsync) ? -1 : real.fsync(descriptor);
}

// A close that reports failure has still released the descriptor (as on Linux).
int fakeClose(int descriptor) {
  bool failed = fails(kClose);
  if (real.close(descriptor) == 0) ++plan.descriptorsClosed;
  return failed ? -1 : 0;
}

int fakeRename(const char* from, const char* to) {
  if (plan.raiseAtRename != 0) raise(plan.raiseAtRename);
  return fails(kRename) ? -1 : real.rename(from, to);
}

int fakeLstat(const char* path, struct stat* status) {
  return fails(kLstat) ? -1 : real.lstat(path, status);
}

ssize_t fakeReadlink(const char* path, char* target, size_t size) {
  return fails(kReadlink) ? -1 : real.readlink(path, target, size);
}

int fakeFchmod(int descriptor, mode_t mode) {
  return fails(kFchmod) ? -1 : real.fchmod(descriptor, mode);
}

int fakeLinkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  return fails(kLinkat) ? -1 : real.linkat(fromDirectory, from, toDirectory, to, flags);
}

// Whether the file system under `folder` gives files without a name at all.
bool unnamedFilesWork(const std::string& folder) {
#ifdef O_TMPFILE
  const int descriptor = real.open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (descriptor < 0) return false;
  real.close(descriptor);
  return true;
#else
  (void)folder;
  return false;
#endif
}

// What stands under the target name before the write.
enum class Target { kNothing, kFile, kLinkToFile };
const char* const kTargetNames[] = {"no file", "over a file", "through a link"};

class WriterFaults : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    plan = Plan{};
    unnamedFilesRefused = !GetParam();
    systemCalls = SystemCalls{&fakeOpen,   &fakeWrite, &fakeFsync,    &fakeClose,  &fakeRename,
                              real.unlink, &fakeLstat, &fakeReadlink, &fakeFchmod, &fakeLinkat};
  }
  void TearDown() override {
    systemCalls = realSystemCalls();
    unnamedFilesRefused = false;
  }

  // Whether this run writes through a file without a name: asked for and given.
  bool unnamed() const { return GetParam() && unnamedFilesWork(directory.root); }

  bool write(const char* name) {
    EpisodeAnswers answers{};
    answers.listPosition = 2;
    std::strcpy(answers.episodeName, "Cold Harbour");
    std::strcpy(answers.startLevel, "harbour.lev");
    answers.outputFileName = name;
    InsideDirectory inside(directory.root);
    return writeEpisodeFile(answers, pictures.episode, pictures.title, pictures.lowtitle);
  }

  // The file as the writer makes it when nothing goes wrong, and the calls it took.
  Bytes cleanRun(Plan& seen) {
    plan = Plan{};
    EXPECT_TRUE(write("clean.z4k"));
    seen = plan;
    Bytes file = readFile(directory.path("clean.z4k"));
    std::filesystem::remove(directory.path("clean.z4k"));
    return file;
  }

  // target.z4k as `target` says; a link leads to real.z4k. The old content is `old`.
  void prepare(Target target, const Bytes& old) {
    if (target == Target::kFile) writeFile(directory.path("target.z4k"), old);
    if (target == Target::kLinkToFile) {
      writeFile(directory.path("real.z4k"), old);
      ASSERT_EQ(symlink("real.z4k", directory.path("target.z4k").c_str()), 0);
    }
  }

  // Every call the writer makes for that target, with nothing failing.
  std::array<int, kCallKinds> callsFor(Target target) {
    prepare(target, Bytes(10, 1));
    plan = Plan{};
    EXPECT_TRUE(write("target.z4k"));
    const std::array<int, kCallKinds> calls = plan.calls;
    for (const std::string& name : directory.entries()) {
      std::filesystem::remove(directory.path(name));
    }
    return calls;
  }

  ScratchDirectory directory;
  Pictures pictures;
};

TEST_P(WriterFaults, EveryFailingStepKeepsTheOldFileAndLeavesNoTemporary) {
  Plan clean;
  cleanRun(clean);
  const int writes = clean.calls[kWrite];
  ASSERT_GE(writes, 7) << "the header, and a size and a stream per picture";

  struct Step {
    Call call;
    int nth;
  };
  std::vector<Step> steps{{kLstat, 1}, {kLstat, 2}, {kReadlink, 1}, {kOpen, 1},  {kFchmod, 1},
                          {kFsync, 1}, {kClose, 1}, {kRename, 1},   {kLinkat, 1}};
  for (int nth = 1; nth <= writes; ++nth) steps.push_back({kWrite, nth});

  const Bytes old(333, 0xA5);
  int stepsTaken = 0;
  for (Target target : {Target::kNothing, Target::kFile, Target::kLinkToFile}) {
    const std::array<int, kCallKinds> made = callsFor(target);
    for (const Step& step : steps) {
      if (made[step.call] < step.nth) continue;  // a step this target does not need
      ++stepsTaken;
      const std::string what = std::string(kCallNames[step.call]) + " #" +
                               std::to_string(step.nth) + ", " +
                               kTargetNames[static_cast<int>(target)];
      prepare(target, old);
      const std::vector<std::string> before = directory.entries();
      plan = Plan{};
      plan.failing = step.call;
      plan.failOn = step.nth;

      EXPECT_FALSE(write("target.z4k")) << what;
      EXPECT_EQ(plan.calls[step.call], step.nth) << what << ": went on after the failure";
      EXPECT_EQ(plan.descriptorsClosed, plan.descriptorsOpened) << what << ": descriptor leaked";
      EXPECT_EQ(directory.entries(), before) << what;
      if (target == Target::kFile) {
        EXPECT_EQ(readFile(directory.path("target.z4k")), old) << what;
      }
      if (target == Target::kLinkToFile) {
        EXPECT_EQ(readFile(directory.path("real.z4k")), old) << what;
        EXPECT_TRUE(std::filesystem::is_symlink(directory.path("target.z4k"))) << what;
      }
      for (const std::string& name : before) std::filesystem::remove(directory.path(name));
    }
  }
  // Besides the writes: open, fsync, close, rename and the first lstat for every target (and the
  // linkat that names a file without a name); fchmod over a file and through a link; a second
  // lstat and readlink through the link.
  const int naming = unnamed() ? 3 : 0;
  EXPECT_EQ(stepsTaken, 3 * writes + 5 + 6 + 8 + naming) << "the steps that were meant to be tried";
}

TEST_P(WriterFaults, ATakenTemporaryNameIsTriedAgain) {
  Plan clean;
  const Bytes expected = cleanRun(clean);
  struct Case {
    const char* name;
    int takenNames;
    bool written;
  } cases[] = {
      {"the first name taken", 1, true},
      {"many names taken", 50, true},
      {"every name taken", 1000, false},
  };
  for (const Case& c : cases) {
    // A file without a name meets a taken name only when it is given one.
    const Call naming = unnamed() ? kLinkat : kOpen;
    plan = Plan{};
    plan.failing = naming;
    plan.failOn = 1;
    plan.failTimes = c.takenNames;
    plan.failWithErrno = EEXIST;
    EXPECT_EQ(write("target.z4k"), c.written) << c.name;
    if (c.written) {
      EXPECT_EQ(plan.calls[naming], c.takenNames + 1) << c.name;
      EXPECT_EQ(readFile(directory.path("target.z4k")), expected) << c.name;
      EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"}) << c.name;
      std::filesystem::remove(directory.path("target.z4k"));
    } else {
      EXPECT_TRUE(directory.entries().empty()) << c.name;
    }
  }
}

TEST_P(WriterFaults, ShortAndInterruptedWritesAreCarriedOn) {
  Plan clean;
  const Bytes expected = cleanRun(clean);
  struct Case {
    const char* name;
    std::size_t writeLimit;
    bool interruptEveryOther;
  };
  const Case cases[] = {
      {"one byte per write", 1, false},
      {"seven bytes per write", 7, false},
      {"every other call interrupted", 0, true},
      {"short and interrupted", 3, true},
  };
  for (const Case& c : cases) {
    writeFile(directory.path("target.z4k"), Bytes(50, 0x11));
    plan = Plan{};
    plan.writeLimit = c.writeLimit;
    plan.interruptEveryOther = c.interruptEveryOther;
    EXPECT_TRUE(write("target.z4k")) << c.name;
    EXPECT_EQ(readFile(directory.path("target.z4k")), expected) << c.name;
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"}) << c.name;
    EXPECT_EQ(plan.descriptorsClosed, plan.descriptorsOpened) << c.name;
    EXPECT_GT(plan.calls[kWrite], clean.calls[kWrite]) << c.name << ": the fault never happened";
  }
}

// The handler the program had before the write: it finds out whether the temporary file is
// already gone, then ends the process the way the test can see.
std::string scratchForHandler;
void earlierHandler(int) {
  bool clean = true;
  for (const auto& entry : std::filesystem::directory_iterator(scratchForHandler)) {
    clean = clean && entry.path().extension() != ".tmp";
  }
  _exit(clean ? 3 : 4);
}

// A signal that ends the program while the file is being synced: the temporary file goes, the
// old file stays, and the signal is still handled as before the write began.
TEST_P(WriterFaults, ATerminatingSignalRemovesThePendingTemporaryFile) {
  const Bytes old(77, 0x3C);
  Plan clean;
  const Bytes written = cleanRun(clean);
  // Signals are held while the rename runs, so one that comes then ends the program just after
  // it: the new file is in place and no temporary name is left.
  struct Moment {
    const char* name;
    int Plan::*raiseAt;
    const Bytes& result;
  };
  const Moment moments[] = {{"while syncing", &Plan::raiseAtFsync, old},
                            {"while renaming", &Plan::raiseAtRename, written}};
  for (const Moment& moment : moments) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      const std::string what = std::string(strsignal(signalNumber)) + " " + moment.name;
      writeFile(directory.path("target.z4k"), old);
      EXPECT_EXIT(
          {
            signal(signalNumber, SIG_DFL);
            const struct rlimit noCore {};
            setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would leave a core in the directory
            plan.*moment.raiseAt = signalNumber;
            write("target.z4k");
          },
          ::testing::KilledBySignal(signalNumber), "")
          << what;
      EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"}) << what;
      EXPECT_EQ(readFile(directory.path("target.z4k")), moment.result) << what;

      writeFile(directory.path("target.z4k"), old);
      scratchForHandler = directory.root;
      EXPECT_EXIT(
          {
            signal(signalNumber, &earlierHandler);
            plan.*moment.raiseAt = signalNumber;
            write("target.z4k");
          },
          ::testing::ExitedWithCode(3), "")
          << what << ": the earlier handler did not run, or ran before the file was removed";
      EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"}) << what;
    }
  }
}

// A signal the program ignores (as under nohup) stays ignored, and the file is written; after the
// write the earlier actions are back.
TEST_P(WriterFaults, IgnoredSignalsStayIgnoredAndActionsComeBack) {
  auto previousHangup = signal(SIGHUP, SIG_IGN);
  auto previousTerm = signal(SIGTERM, SIG_DFL);
  plan.raiseAtFsync = SIGHUP;
  EXPECT_TRUE(write("target.z4k"));
  EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"});
  EXPECT_EQ(signal(SIGHUP, previousHangup), SIG_IGN);
  EXPECT_EQ(signal(SIGTERM, previousTerm), SIG_DFL);
  auto fileSize = signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(fileSize, SIG_DFL) << "SIGXFSZ stays ignored after the write";
}

// A build killed outright (SIGKILL, a power cut) can leave its temporary file where the system
// has no files without a name; the next write of the same target removes it, and only it.
TEST_P(WriterFaults, TemporaryFilesOfEndedProcessesGoWithTheNextWrite) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string ended = std::to_string(child);
  const std::string running = std::to_string(getpid());
  struct Leftover {
    std::string name;
    bool directory;
    bool stays;
  };
  const Leftover leftovers[] = {
      {"target.z4k." + ended + "-1a2b3c-0.tmp", false, false},
      {"target.z4k.4000000000-7-12.tmp", false, false},  // past any process number
      {"target.z4k." + running + "-1a2b3c-0.tmp", false, true},
      {"target.z4k." + ended + "-1a2b3c-1.tmp", true, true},
      {"target.z4k." + ended + "-xyz-0.tmp", false, true},
      {"target.z4k." + ended + "-1a2b3c4-0.tmp", false, true},
      {"target.z4k." + ended + "-1a2b3c-0.tmp.keep", false, true},
      {"other.z4k." + ended + "-1a2b3c-0.tmp", false, true},
      {"target.z4k.old." + ended + "-1a2b3c-0.tmp", false, true},
  };
  std::vector<std::string> expected{"target.z4k"};
  for (const Leftover& leftover : leftovers) {
    if (leftover.directory) {
      std::filesystem::create_directory(directory.path(leftover.name));
    } else {
      writeFile(directory.path(leftover.name), Bytes(5, 0x55));
    }
    if (leftover.stays) expected.push_back(leftover.name);
  }
  std::sort(expected.begin(), expected.end());

  EXPECT_TRUE(write("target.z4k"));
  EXPECT_EQ(directory.entries(), expected);
}

// The rename is made durable too: the folder that holds it is synced after it, and a failed sync
// is a failed write (the new file is in place, but a power cut could still take it back).
TEST_P(WriterFaults, TheRenameIsSyncedThroughItsFolder) {
  Plan clean;
  const Bytes expected = cleanRun(clean);
  EXPECT_EQ(clean.folderSyncsAfterRename, 1);
  EXPECT_EQ(clean.descriptorsClosed, clean.descriptorsOpened);

  plan = Plan{};
  plan.failing = kFsync;
  plan.failOn = 2;  // the file's own sync, then the folder's
  EXPECT_FALSE(write("target.z4k"));
  EXPECT_EQ(plan.folderSyncsAfterRename, 1);
  EXPECT_EQ(plan.descriptorsClosed, plan.descriptorsOpened);
  EXPECT_EQ(readFile(directory.path("target.z4k")), expected);
  EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"});
}

// A replacement begun and never committed (an early return, an exception on the way) removes its
// temporary file and puts the signal actions back when it goes; the target is as it was.
TEST_P(WriterFaults, AnAbandonedReplacementLeavesNothingBehind) {
  const Bytes old(21, 0x7E);
  writeFile(directory.path("target.z4k"), old);
  const auto interruptAction = signal(SIGINT, SIG_DFL);
  const auto handlerOf = [](int signalNumber) {
    struct sigaction action {};
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
  };
  try {
    PendingFile pending;
    ASSERT_TRUE(beginReplace(pending, directory.path("target.z4k").c_str()));
    appendBytes(pending, "half", 4);
    EXPECT_NE(handlerOf(SIGINT), SIG_DFL) << "the handler that removes it is installed";
    PendingFile movedOn = std::move(pending);  // the moved-from one owns nothing any more
    EXPECT_EQ(pending.handle, -1);
    throw std::runtime_error("gave up");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(handlerOf(SIGINT), SIG_DFL);
  EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"});
  EXPECT_EQ(readFile(directory.path("target.z4k")), old);
  EXPECT_EQ(plan.descriptorsClosed, plan.descriptorsOpened);
  signal(SIGINT, interruptAction);
}

// A thread the program starts leaves the terminating signals to the main thread, where the
// handler that removes a pending temporary file runs; the thread that starts it keeps them.
TEST(ProgramThreads, BlockTheTerminatingSignalsTheMainThreadHandles) {
  const auto blocked = [] {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> found;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      if (sigismember(&mask, signalNumber) == 1) found.push_back(signalNumber);
    }
    return found;
  };
  std::vector<int> inThread;
  std::thread thread = startSystemThread([&] { inThread = blocked(); });
  thread.join();
  EXPECT_EQ(inThread, (std::vector<int>{SIGINT, SIGTERM, SIGHUP, SIGQUIT}));
  EXPECT_EQ(blocked(), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(TemporaryFiles, WriterFaults, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithoutAName" : "Named";
                         });

// Counts the importer's requests to the heap and can refuse the nth one.
struct AllocationPlan {
  int calls = 0;
  int failOn = 0;
};
AllocationPlan allocations;

bool refused() { return ++allocations.calls == allocations.failOn; }

void* countedAllocate(std::size_t size) { return refused() ? nullptr : std::malloc(size); }

void* countedAllocateZeroed(std::size_t count, std::size_t size) {
  return refused() ? nullptr : std::calloc(count, size);
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

class ImportAllocationFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    allocateBlock = &countedAllocate;
    allocateZeroedBlock = &countedAllocateZeroed;
  }
  void TearDown() override {
    allocateBlock = &allocateSystemBlock;
    allocateZeroedBlock = &std::calloc;
  }

  // Imports the picture at `path` once whole, then again with each of the allocations it made
  // failing in turn: each time out of memory, nothing asked after the refusal, nothing left.
  void expectEachFailedAllocationRefused(const std::string& path, const ImportOptions& options,
                                         const std::string& name) {
    allocations = AllocationPlan{};
    ImportedImage image{};
    ASSERT_EQ(importPicture(path.c_str(), options, image).problem, ImportProblem::kNone) << name;
    releaseImportedImage(image);
    const int needed = allocations.calls;
    ASSERT_GT(needed, 0) << name;

    for (int failing = 1; failing <= needed; ++failing) {
      allocations = AllocationPlan{0, failing};
      unsigned char mark;
      ImportedImage kept{-7, -7, &mark, -7};
      const std::size_t descriptors = openDescriptors();
      EXPECT_EQ(importPicture(path.c_str(), options, kept).problem, ImportProblem::kOutOfMemory)
          << name << ", allocation " << failing;
      EXPECT_EQ(allocations.calls, failing) << name << ": asked again after a refusal";
      EXPECT_TRUE(kept.width == -7 && kept.height == -7 && kept.compressedData == &mark &&
                  kept.compressedSize == -7)
          << name << ", allocation " << failing << ": record touched";
      EXPECT_EQ(openDescriptors(), descriptors) << name << ": the picture was left open";
    }
  }

  ScratchDirectory directory;
};

BitmapFields pictureSpec(std::int32_t width, std::int32_t height, std::uint32_t compression,
                         Bytes data) {
  BitmapFields fields;
  fields.width = width;
  fields.height = height;
  fields.compression = compression;
  fields.paletteEntries = 4;
  fields.pixelData = std::move(data);
  return fields;
}

TEST_F(ImportAllocationFaults, EachFailedAllocationEndsTheImportCleanly) {
  struct Case {
    const char* name;
    BitmapFields fields;
  };
  const Case cases[] = {
      {"bottom-up", pictureSpec(3, 2, 0, {1, 2, 3, 0, 4, 5, 6, 0})},
      {"top-down", pictureSpec(4, -2, 0, {1, 2, 3, 4, 5, 6, 7, 8})},
      {"RLE8", pictureSpec(4, 2, 1, {4, 9, 0, 0, 0, 2, 1, 0, 2, 5, 0, 1})},
      {"RLE8 runs past the row", pictureSpec(3, 2, 1, {4, 9, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1})},
      {"OS-2 core header",
       [] {
         BitmapFields fields = pictureSpec(3, 2, 0, {1, 2, 3, 0, 4, 5, 6, 0});
         fields.infoSize = 12;
         return fields;
       }()},
      {"no pixels", pictureSpec(0, 3, 0, {})},
  };
  for (const Case& c : cases) {
    const std::string path = directory.path(std::string(c.name) + ".bmp");
    writeFile(path, makeBitmap(c.fields));
    expectEachFailedAllocationRefused(path, ImportOptions{}, c.name);
  }
}

// Mapped onto the game's palette, the mapping's tables (and the dither's rows of errors) come
// from the same allocator: a 24-bit picture, plain, dithered and with exact colours (the palette
// holds each of its colours, and one more).
TEST_F(ImportAllocationFaults, EachFailedAllocationOfTheMappingEndsTheImportCleanly) {
  BitmapFields fields = pictureSpec(2, 2, 0,
                                    {10, 20, 30, 200, 100, 0, 0, 0,  // blue, green, red
                                     0, 0, 0, 255, 255, 255, 0, 0});
  fields.bitCount = 24;
  fields.paletteEntries = 0;
  const std::string path = directory.path("photo.bmp");
  writeFile(path, makeBitmap(fields));
  ImportOptions options;
  options.hasPalette = true;
  const unsigned char colours[][4] = {
      {0, 0, 0, 0}, {128, 128, 0, 0}, {10, 20, 30, 0}, {200, 100, 0, 0}, {255, 255, 255, 0}};
  options.palette.colourCount = 5;
  std::memcpy(options.palette.entries, colours, sizeof colours);
  for (const char* name : {"plain", "dithered", "exact colours"}) {
    options.dither = name[0] == 'd';
    options.exactColours = name[0] == 'e';
    expectEachFailedAllocationRefused(path, options, name);
  }
}

}  // namespace
