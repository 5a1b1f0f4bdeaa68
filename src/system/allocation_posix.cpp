#include <sys/mman.h>

#include <cstdlib>

#include "allocation.h"

namespace {

constexpr std::size_t kBigPage = std::size_t{2} << 20;
constexpr std::size_t kLargeBlock = 2 * kBigPage;  // smaller blocks gain too little

}  // namespace

void* allocateSystemBlock(std::size_t size) {
#ifdef MADV_HUGEPAGE
  if (size >= kLargeBlock) {
    void* block = nullptr;
    if (posix_memalign(&block, kBigPage, size) != 0) return nullptr;
    // Only a hint: where the system has no big page to give, the block has small ones.
    madvise(block, size - size % kBigPage, MADV_HUGEPAGE);
    return block;
  }
#endif
  return std::malloc(size);
}
