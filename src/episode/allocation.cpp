#include "allocation.h"

#include <cstdlib>

AllocateBlock allocateBlock = &std::malloc;

void releaseBlock(void* block) { std::free(block); }
