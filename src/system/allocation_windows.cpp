#include <cstdlib>

#include "allocation.h"

// Big pages on Windows need a privilege users do not hold: every block has small ones.
void* allocateSystemBlock(std::size_t size) { return std::malloc(size); }
