// Every working block of the importer comes from here, so tests can make an allocation fail.
#pragma once

#include <cstddef>

using AllocateBlock = void* (*)(std::size_t);

// std::malloc unless a test has put something else in its place.
extern AllocateBlock allocateBlock;

void releaseBlock(void* block);
