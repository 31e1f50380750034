#include "base/grid_storage.hpp"

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <cstdlib>

namespace bmpfun::detail {

namespace {
[[maybe_unused]] constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

// Windows offers large pages only to programs granted the right to lock memory, and only
// through VirtualAlloc: grids there come from the ordinary heap.
void* allocateGridStorage(size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* block = nullptr;
#ifndef _WIN32
  if (bytes >= 2 * kHugePage) {
    // Aligned to the huge page size so that the whole block can be backed by them; the
    // advice is only a hint (the system may refuse or lack huge pages).
    if (posix_memalign(&block, kHugePage, bytes) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
  }
#endif
  block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void releaseGridStorage(void* block) noexcept { std::free(block); }

void adviseHugePages(void* block, size_t bytes) {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const uintptr_t end = (start + bytes) & ~(uintptr_t{kHugePage} - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

}  // namespace bmpfun::detail
