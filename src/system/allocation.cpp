#include "allocation.h"

#include <cstdlib>

AllocateBlock allocateBlock = &allocateSystemBlock;
AllocateZeroedBlock allocateZeroedBlock = &std::calloc;

void releaseBlock(void* block) { std::free(block); }
