// Every working block of the importer comes from here, so tests can make an allocation fail.
#pragma once

#include <cstddef>

using AllocateBlock = void* (*)(std::size_t);
using AllocateZeroedBlock = void* (*)(std::size_t count, std::size_t size);

// std::malloc unless a test has put something else in its place.
extern AllocateBlock allocateBlock;

// std::calloc unless a test has put something else in its place. A large zeroed block comes
// straight from fresh pages, so the parts nobody writes are never touched at all.
extern AllocateZeroedBlock allocateZeroedBlock;

void releaseBlock(void* block);
