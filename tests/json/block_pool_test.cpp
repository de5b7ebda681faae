// The per-thread lists behind the value tree's heap blocks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json/internal/block_pool.hpp"

namespace trellune::json_internal {
namespace {

struct Block {
  void* memory;
  std::size_t size;
};

void fill(const Block& block, unsigned seed) { std::memset(block.memory, static_cast<int>(seed & 0xFF), block.size); }

bool holds(const Block& block, unsigned seed) {
  const auto* bytes = static_cast<const unsigned char*>(block.memory);
  return std::all_of(bytes, bytes + block.size, [seed](unsigned char byte) { return byte == (seed & 0xFF); });
}

// Every size up to past the pooled limit, several times over: blocks are
// aligned, writable to their full size and never overlap.
TEST(BlockPool, BlocksOfEverySizeAreDistinctAndAligned) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<Block> blocks;
    for (std::size_t size = 1; size <= kMaxPooledBlock + 64; ++size) {
      for (int copy = 0; copy < 3; ++copy) {
        blocks.push_back({allocate_block(size), size});
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back().memory) % 16, 0u) << size;
        fill(blocks.back(), static_cast<unsigned>(blocks.size()));
      }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      ASSERT_TRUE(holds(blocks[i], static_cast<unsigned>(i + 1))) << "block of " << blocks[i].size << " bytes";
    }
    for (const Block& block : blocks) release_block(block.memory, block.size);
  }
}

TEST(BlockPool, ReleasedBlocksAreReusedByTheSameThread) {
  if (!block_pool_enabled()) GTEST_SKIP() << "every block is its own allocation in this build";
  std::vector<void*> blocks;
  for (int i = 0; i < 1000; ++i) blocks.push_back(allocate_block(48));
  for (void* block : blocks) release_block(block, 48);
  const BlockPoolCounts before = block_pool_counts();
  EXPECT_GE(before.thread_cached + before.shared, 1000u);
  for (void*& block : blocks) block = allocate_block(40);
  const BlockPoolCounts after = block_pool_counts();
  EXPECT_EQ(after.chunk_bytes, before.chunk_bytes) << "no new chunk for blocks that were given back";
  EXPECT_EQ(before.thread_cached + before.shared - (after.thread_cached + after.shared), 1000u);
  for (void* block : blocks) release_block(block, 40);
}

// One thread allocates, another releases, round after round: the releasing
// thread hands batches back, so the allocating one takes no new chunks after
// the first rounds. When the releasing thread ends, what it kept is shared.
TEST(BlockPool, BlocksFreedOnAnotherThreadFindTheirWayBack) {
  if (!block_pool_enabled()) GTEST_SKIP() << "every block is its own allocation in this build";
  constexpr std::size_t kSize = 96;
  constexpr int kRounds = 200;
  constexpr int kPerRound = 1000;
  std::size_t chunk_bytes_after_warm_up = 0;
  std::thread allocator([&] {
    for (int round = 0; round < kRounds; ++round) {
      std::vector<Block> blocks;
      for (int i = 0; i < kPerRound; ++i) {
        blocks.push_back({allocate_block(kSize), kSize});
        fill(blocks.back(), static_cast<unsigned>(round));
      }
      std::thread releaser([&blocks, round] {
        for (const Block& block : blocks) {
          EXPECT_TRUE(holds(block, static_cast<unsigned>(round)));
          release_block(block.memory, block.size);
        }
      });
      releaser.join();
      if (round == 2) chunk_bytes_after_warm_up = block_pool_counts().chunk_bytes;
    }
  });
  allocator.join();
  const BlockPoolCounts counts = block_pool_counts();
  // Without the hand-back every round would need kPerRound new blocks.
  EXPECT_LT(counts.chunk_bytes - chunk_bytes_after_warm_up, std::size_t{4} * kPerRound * kSize);
  EXPECT_GE(counts.shared, static_cast<std::size_t>(kPerRound));
  // This thread takes them up.
  std::vector<void*> blocks;
  for (int i = 0; i < kPerRound; ++i) blocks.push_back(allocate_block(kSize));
  EXPECT_EQ(block_pool_counts().chunk_bytes, counts.chunk_bytes);
  for (void* block : blocks) release_block(block, kSize);
}

// Many threads at once, each releasing what the others allocated.
TEST(BlockPool, ConcurrentThreadsExchangeBlocks) {
  constexpr int kThreads = 4;
  constexpr int kBlocks = 20000;
  std::vector<std::vector<Block>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kBlocks; ++i) {
        const std::size_t size = 1 + static_cast<std::size_t>((i * 37 + t * 11) % 700);
        made[static_cast<std::size_t>(t)].push_back({allocate_block(size), size});
        fill(made[static_cast<std::size_t>(t)].back(), static_cast<unsigned>(t));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (const Block& block : made[static_cast<std::size_t>((t + 1) % kThreads)]) {
        EXPECT_TRUE(holds(block, static_cast<unsigned>((t + 1) % kThreads)));
        release_block(block.memory, block.size);
      }
      // And allocate again while the others release.
      std::vector<void*> again;
      for (int i = 0; i < kBlocks / 2; ++i) again.push_back(allocate_block(64));
      for (void* block : again) release_block(block, 64);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace trellune::json_internal
