// Failures that a disk or the heap can produce at any moment, made to happen on purpose through
// the seams: the system-call table of the writer and the allocator of the importer.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "allocation.h"
#include "bitmap_import.h"
#include "episode_file.h"
#include "system_calls.h"
#include "test_support.h"

namespace {

enum Call { kOpen, kWrite, kFsync, kClose, kRename, kCallKinds };
const char* const kCallNames[] = {"open", "write", "fsync", "close", "rename"};

// What the fake calls do, and what they saw. Function pointers cannot capture, hence statics.
struct Plan {
  Call failing = kCallKinds;  // none
  int failOn = 0;             // the nth call of that kind fails (1 = the first)
  int failWithErrno = EIO;
  std::size_t writeLimit = 0;        // when not 0, a write takes at most this many bytes
  bool interruptEveryOther = false;  // odd-numbered calls of open and write see EINTR
  std::array<int, kCallKinds> calls{};
  int descriptorsOpened = 0;
  int descriptorsClosed = 0;
};
Plan plan;
SystemCalls real = realSystemCalls();

bool fails(Call call) {
  if (++plan.calls[call] != plan.failOn || plan.failing != call) return false;
  errno = plan.failWithErrno;
  return true;
}

bool interrupted(Call call) {
  if (!plan.interruptEveryOther || plan.calls[call] % 2 == 0) return false;
  errno = EINTR;
  return true;
}

int fakeOpen(const char* path, int flags, mode_t mode) {
  if (fails(kOpen) || interrupted(kOpen)) return -1;
  int descriptor = real.open(path, flags, mode);
  if (descriptor >= 0) ++plan.descriptorsOpened;
  return descriptor;
}

ssize_t fakeWrite(int descriptor, const void* bytes, size_t size) {
  if (fails(kWrite) || interrupted(kWrite)) return -1;
  if (plan.writeLimit != 0 && size > plan.writeLimit) size = plan.writeLimit;
  return real.write(descriptor, bytes, size);
}

int fakeFsync(int descriptor) { return fails(kFsync) ? -1 : real.fsync(descriptor); }

// A close that reports failure has still released the descriptor (as on Linux).
int fakeClose(int descriptor) {
  bool failed = fails(kClose);
  if (real.close(descriptor) == 0) ++plan.descriptorsClosed;
  return failed ? -1 : 0;
}

int fakeRename(const char* from, const char* to) {
  return fails(kRename) ? -1 : real.rename(from, to);
}

class WriterFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    plan = Plan{};
    systemCalls =
        SystemCalls{&fakeOpen, &fakeWrite, &fakeFsync, &fakeClose, &fakeRename, real.unlink};
  }
  void TearDown() override { systemCalls = realSystemCalls(); }

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

  ScratchDirectory directory;
  Pictures pictures;
};

TEST_F(WriterFaults, EveryFailingStepKeepsTheOldFileAndLeavesNoTemporary) {
  Plan clean;
  cleanRun(clean);
  const int writes = clean.calls[kWrite];
  ASSERT_GE(writes, 7) << "the header, and a size and a stream per picture";

  struct Step {
    Call call;
    int nth;
  };
  std::vector<Step> steps{{kOpen, 1}, {kFsync, 1}, {kClose, 1}, {kRename, 1}};
  for (int nth = 1; nth <= writes; ++nth) steps.push_back({kWrite, nth});

  const Bytes old(333, 0xA5);
  for (const Step& step : steps) {
    for (bool targetExists : {true, false}) {
      const std::string what = std::string(kCallNames[step.call]) + " #" +
                               std::to_string(step.nth) + (targetExists ? ", over a file" : "");
      if (targetExists) writeFile(directory.path("target.z4k"), old);
      plan = Plan{};
      plan.failing = step.call;
      plan.failOn = step.nth;

      EXPECT_FALSE(write("target.z4k")) << what;
      EXPECT_EQ(plan.calls[step.call], step.nth) << what << ": went on after the failure";
      EXPECT_EQ(plan.descriptorsClosed, plan.descriptorsOpened) << what << ": descriptor leaked";
      if (targetExists) {
        EXPECT_EQ(readFile(directory.path("target.z4k")), old) << what;
        EXPECT_EQ(directory.entries(), std::vector<std::string>{"target.z4k"}) << what;
        std::filesystem::remove(directory.path("target.z4k"));
      } else {
        EXPECT_TRUE(directory.entries().empty()) << what;
      }
    }
  }
}

TEST_F(WriterFaults, ShortAndInterruptedWritesAreCarriedOn) {
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
    allocateBlock = &std::malloc;
    allocateZeroedBlock = &std::calloc;
  }

  ImportProblem import(const std::string& path, ImportedImage& image) {
    return importBitmap(path.c_str(), image).problem;
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

    allocations = AllocationPlan{};
    ImportedImage image{};
    ASSERT_EQ(import(path, image), ImportProblem::kNone) << c.name;
    releaseImportedImage(image);
    const int needed = allocations.calls;
    ASSERT_GT(needed, 0) << c.name;

    for (int failing = 1; failing <= needed; ++failing) {
      allocations = AllocationPlan{0, failing};
      unsigned char mark;
      ImportedImage kept{-7, -7, &mark, -7};
      const std::size_t descriptors = openDescriptors();
      EXPECT_EQ(import(path, kept), ImportProblem::kOutOfMemory)
          << c.name << ", allocation " << failing;
      EXPECT_EQ(allocations.calls, failing) << c.name << ": asked again after a refusal";
      EXPECT_TRUE(kept.width == -7 && kept.height == -7 && kept.compressedData == &mark &&
                  kept.compressedSize == -7)
          << c.name << ", allocation " << failing << ": record touched";
      EXPECT_EQ(openDescriptors(), descriptors) << c.name << ": the picture was left open";
    }
  }
}

}  // namespace
