// Every large working block (the import's pixels and streams, the episode reader's pictures) comes
// from here, so tests can make an allocation fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

using AllocateBlock = void* (*)(std::size_t);
using AllocateZeroedBlock = void* (*)(std::size_t count, std::size_t size);

// The system's allocation, std::malloc or as good as: a block of some megabytes is asked of the
// system on big pages where it has them (one page fault then fills 2 MB instead of 4 KB, and a
// picture's blocks cost hundreds of faults instead of thousands). Released with std::free.
void* allocateSystemBlock(std::size_t size);

// allocateSystemBlock unless a test has put something else in its place.
extern AllocateBlock allocateBlock;

// std::calloc unless a test has put something else in its place. A large zeroed block comes
// straight from fresh pages, so the parts nobody writes are never touched at all.
extern AllocateZeroedBlock allocateZeroedBlock;

void releaseBlock(void* block);

struct BlockReleaser {
  void operator()(unsigned char* block) const { releaseBlock(block); }
};
using Block = std::unique_ptr<unsigned char, BlockReleaser>;

// A zero-byte picture still gets a real block, so a null pointer always means failure.
inline Block allocateBytes(std::int64_t size) {
  const std::size_t bytes = static_cast<std::size_t>(std::max<std::int64_t>(size, 1));
  return Block(static_cast<unsigned char*>(allocateBlock(bytes)));
}

inline Block allocateZeroedBytes(std::int64_t size) {
  const std::size_t bytes = static_cast<std::size_t>(std::max<std::int64_t>(size, 1));
  return Block(static_cast<unsigned char*>(allocateZeroedBlock(bytes, 1)));
}
