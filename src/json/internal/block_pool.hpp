// Heap blocks of the value tree: long strings and the element storage of
// arrays and objects.
#pragma once

#include <cstddef>

namespace trellune::json_internal {

// Blocks up to this size come from per-thread free lists in front of the
// global operator new; larger ones go to it directly.
inline constexpr std::size_t kMaxPooledBlock = 512;

// A block of at least `bytes` bytes (not 0), aligned to 16. Exhausted memory
// is the fatal report of the global operator new.
void* allocate_block(std::size_t bytes);

// Gives back a block from allocate_block with the same `bytes`. Any thread
// may release a block that another thread allocated.
void release_block(void* block, std::size_t bytes) noexcept;

// False where every block is its own allocation (AddressSanitizer builds).
bool block_pool_enabled();

// The blocks that the calling thread keeps for reuse, those that the process
// keeps for any thread, and the bytes of all chunks taken so far; for tests.
struct BlockPoolCounts {
  std::size_t thread_cached;
  std::size_t shared;
  std::size_t chunk_bytes;
};
BlockPoolCounts block_pool_counts();

}  // namespace trellune::json_internal
