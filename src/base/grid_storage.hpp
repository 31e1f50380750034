// Storage for pixel grids, the bitmap's and the image's alike. Large blocks are asked to live
// on huge pages where the system offers them: a 4096 x 4096 grid then costs a few dozen page
// faults instead of 16384. Blocks are not initialised: every grid is painted or overwritten
// whole right after it is made.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace bmpfun::detail {

// Throws std::bad_alloc like operator new.
void* allocateGridStorage(size_t bytes);
void releaseGridStorage(void* block) noexcept;

// Ask for huge pages on the whole 2 MiB pages inside a block that is not yet touched (a hint
// only). For large pixel arrays that are not grids, such as a reserved std::vector.
void adviseHugePages(void* block, size_t bytes);

// count elements of a trivially copyable pixel type, unpainted. Throws std::bad_alloc, also
// for a count whose byte size does not fit size_t.
template <typename T>
T* allocateGridOf(uint64_t count) {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
  // The storage is suitably aligned for T; starting the lifetime of the array of bytes as
  // T objects is what the implicit-lifetime rule allows for trivial types.
  return static_cast<T*>(allocateGridStorage(static_cast<size_t>(count) * sizeof(T)));
}

}  // namespace bmpfun::detail
