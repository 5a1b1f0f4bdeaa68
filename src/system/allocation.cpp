#include "allocation.h"

#include <cstdlib>

AllocateBlock allocateBlock = &std::malloc;
AllocateZeroedBlock allocateZeroedBlock = &std::calloc;

void releaseBlock(void* block) { std::free(block); }
