// Size-class free lists for the heap blocks of value trees.
//
// A parsed tree is many small blocks, allocated in one burst and freed in
// another. glibc's per-thread cache holds only 7 blocks of a size, so freeing
// a large tree sends most of them to its shared bins, and the next parse pays
// for consolidating them again. Here each thread keeps its own lists, one per
// 16-byte size class up to kMaxPooledBlock, and carves new blocks from chunks
// that grow geometrically (small requests stay within the first 4 KiB).
// Chunks are never given back; their blocks are reused instead.
//
// A block freed on another thread joins that thread's lists. A thread that
// holds 2 x kBatch blocks of a class hands kBatch of them to a shared stack of
// batches, where a thread whose list ran dry takes them back, so memory
// cannot pile up on the freeing side of a producer and consumer. A thread
// that ends hands everything it holds to the shared pool.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "base/fatal.hpp"
#include "base/sanitizers.hpp"
#include "json/internal/block_pool.hpp"

// Under AddressSanitizer every block is its own allocation, so that the
// sanitizer sees each use after free and each overflow.
#define TRELLUNE_JSON_BLOCK_POOL (!TRELLUNE_ADDRESS_SANITIZER)

namespace trellune::json_internal {
namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = kMaxPooledBlock / kGranule;
static_assert(kClasses <= 32, "one bit per class in SharedPool::nonempty");
constexpr std::uint32_t kBatch = 64;
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = 256 * 1024;

// The first 16 bytes of a free block.
struct FreeBlock {
  FreeBlock* next;        // in a thread's list, a batch or the loose list
  FreeBlock* next_batch;  // first block of a batch: the batch below it
};
static_assert(sizeof(FreeBlock) <= kGranule);

constexpr std::size_t class_size(std::size_t size_class) { return (size_class + 1) * kGranule; }

// Trivial and constant-initialized: reading it never runs code.
struct ThreadCache {
  FreeBlock* heads[kClasses];
  std::uint32_t counts[kClasses];
  char* chunk_next;
  char* chunk_end;
  std::size_t next_chunk;
  bool flusher_armed;
  bool exited;
};
constinit thread_local ThreadCache t_cache{};

struct SharedPool {
  std::mutex mutex;
  FreeBlock* batches[kClasses];  // kBatch blocks each, linked by next_batch
  FreeBlock* loose[kClasses];    // what ended threads left, linked by next
  // Bit c: batches[c] or loose[c] may be non-empty; read without the lock
  // so that a thread with nothing to take does not lock at all.
  std::atomic<std::uint32_t> nonempty;
};
constinit SharedPool g_shared{};
constinit std::atomic<std::size_t> g_chunk_bytes{0};

void push(ThreadCache& cache, std::size_t size_class, void* memory) {
  auto* block = static_cast<FreeBlock*>(memory);
  block->next = cache.heads[size_class];
  cache.heads[size_class] = block;
  ++cache.counts[size_class];
}

// Hands every block the thread holds, and the rest of its chunk cut into
// blocks, to the shared pool. Runs when the thread ends.
void flush(ThreadCache& cache) {
  while (cache.chunk_end - cache.chunk_next >= static_cast<std::ptrdiff_t>(kGranule)) {
    const auto left = static_cast<std::size_t>(cache.chunk_end - cache.chunk_next);
    const std::size_t size_class = std::min(left, kMaxPooledBlock) / kGranule - 1;
    push(cache, size_class, cache.chunk_next);
    cache.chunk_next += class_size(size_class);
  }
  const std::lock_guard lock(g_shared.mutex);
  for (std::size_t c = 0; c < kClasses; ++c) {
    FreeBlock* head = cache.heads[c];
    if (head == nullptr) continue;
    FreeBlock* tail = head;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = g_shared.loose[c];
    g_shared.loose[c] = head;
    g_shared.nonempty.fetch_or(std::uint32_t{1} << c, std::memory_order_relaxed);
    cache.heads[c] = nullptr;
    cache.counts[c] = 0;
  }
  cache.exited = true;
}

struct CacheFlusher {
  bool armed = false;
  ~CacheFlusher() { flush(t_cache); }
};
thread_local CacheFlusher t_flusher;

// Takes a batch, or the loose blocks, of the class from the shared pool.
bool take_shared(ThreadCache& cache, std::size_t size_class) {
  const std::uint32_t bit = std::uint32_t{1} << size_class;
  if ((g_shared.nonempty.load(std::memory_order_relaxed) & bit) == 0) return false;
  const std::lock_guard lock(g_shared.mutex);
  FreeBlock* taken = nullptr;
  std::uint32_t count = 0;
  if (FreeBlock* batch = g_shared.batches[size_class]) {
    g_shared.batches[size_class] = batch->next_batch;
    taken = batch;
    count = kBatch;
  } else if (FreeBlock* loose = g_shared.loose[size_class]) {
    g_shared.loose[size_class] = nullptr;
    taken = loose;
    for (FreeBlock* block = loose; block != nullptr; block = block->next) ++count;
  }
  if (g_shared.batches[size_class] == nullptr && g_shared.loose[size_class] == nullptr) {
    g_shared.nonempty.fetch_and(~bit, std::memory_order_relaxed);
  }
  if (taken == nullptr) return false;
  // Only called with an empty list.
  cache.heads[size_class] = taken;
  cache.counts[size_class] = count;
  return true;
}

// Constructs the thread's flusher, whose destructor runs at thread exit:
// before the thread holds its first block.
void arm_flusher(ThreadCache& cache) {
  t_flusher.armed = true;
  cache.flusher_armed = true;
}

void* carve(ThreadCache& cache, std::size_t size_class) {
  const std::size_t size = class_size(size_class);
  if (static_cast<std::size_t>(cache.chunk_end - cache.chunk_next) < size) {
    // The old chunk's tail is smaller than this block: keep it as a block
    // of the class that fits.
    const auto left = static_cast<std::size_t>(cache.chunk_end - cache.chunk_next);
    if (left >= kGranule) push(cache, left / kGranule - 1, cache.chunk_next);
    const std::size_t chunk = std::max(cache.next_chunk, kFirstChunk);
    cache.chunk_next = static_cast<char*>(::operator new(chunk));
    g_chunk_bytes.fetch_add(chunk, std::memory_order_relaxed);
    cache.chunk_end = cache.chunk_next + chunk;
    cache.next_chunk = std::min(chunk * 2, kLargestChunk);
  }
  void* block = cache.chunk_next;
  cache.chunk_next += size;
  return block;
}

// The thread holds 2 x kBatch blocks of the class: the kBatch most recently
// freed go to the shared pool as one batch.
void spill(ThreadCache& cache, std::size_t size_class) {
  FreeBlock* first = cache.heads[size_class];
  FreeBlock* last = first;
  for (std::uint32_t i = 1; i < kBatch; ++i) last = last->next;
  cache.heads[size_class] = last->next;
  cache.counts[size_class] -= kBatch;
  last->next = nullptr;
  const std::lock_guard lock(g_shared.mutex);
  first->next_batch = g_shared.batches[size_class];
  g_shared.batches[size_class] = first;
  g_shared.nonempty.fetch_or(std::uint32_t{1} << size_class, std::memory_order_relaxed);
}

}  // namespace

void* allocate_block(std::size_t bytes) {
  // Also sends 0 to operator new.
  if (!TRELLUNE_JSON_BLOCK_POOL || bytes - 1 >= kMaxPooledBlock) return ::operator new(bytes);
  const std::size_t size_class = (bytes - 1) / kGranule;
  ThreadCache& cache = t_cache;
  FreeBlock* block = cache.heads[size_class];
  if (block == nullptr) [[unlikely]] {
    // After the thread's flush (a tree built by another thread-local
    // object's destructor) nothing may stay with the thread: a block of the
    // full class size can join the shared lists when released.
    if (cache.exited) return ::operator new(class_size(size_class));
    if (!cache.flusher_armed) arm_flusher(cache);
    if (!take_shared(cache, size_class)) return carve(cache, size_class);
    block = cache.heads[size_class];
  }
  // The list's next block is the next allocation of this size, often
  // moments away: its link is the load that would otherwise stall it.
  FreeBlock* const next = block->next;
  __builtin_prefetch(next);
  cache.heads[size_class] = next;
  --cache.counts[size_class];
  return block;
}

void release_block(void* block, std::size_t bytes) noexcept {
  if (!TRELLUNE_JSON_BLOCK_POOL || bytes - 1 >= kMaxPooledBlock) {
    ::operator delete(block);
    return;
  }
  const std::size_t size_class = (bytes - 1) / kGranule;
  ThreadCache& cache = t_cache;
  if (!cache.flusher_armed) [[unlikely]] {
    if (!cache.exited) arm_flusher(cache);
  }
  if (cache.exited) [[unlikely]] {
    // A tree destroyed by another thread-local object after the flush.
    const std::lock_guard lock(g_shared.mutex);
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = g_shared.loose[size_class];
    g_shared.loose[size_class] = free_block;
    g_shared.nonempty.fetch_or(std::uint32_t{1} << size_class, std::memory_order_relaxed);
    return;
  }
  push(cache, size_class, block);
  if (cache.counts[size_class] >= 2 * kBatch) [[unlikely]] spill(cache, size_class);
}

BlockPoolCounts block_pool_counts() {
  BlockPoolCounts counts{0, 0, g_chunk_bytes.load(std::memory_order_relaxed)};
  for (const std::uint32_t count : t_cache.counts) counts.thread_cached += count;
  const std::lock_guard lock(g_shared.mutex);
  for (std::size_t c = 0; c < kClasses; ++c) {
    for (const FreeBlock* batch = g_shared.batches[c]; batch != nullptr; batch = batch->next_batch) {
      counts.shared += kBatch;
    }
    for (const FreeBlock* block = g_shared.loose[c]; block != nullptr; block = block->next) ++counts.shared;
  }
  return counts;
}

bool block_pool_enabled() { return TRELLUNE_JSON_BLOCK_POOL != 0; }

}  // namespace trellune::json_internal
