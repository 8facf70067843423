// The pooled hashing stage between a producer that owns only a few blocks
// and the next stage: every block goes on in the order it came, its digest
// in the chain in that order, while the producer keeps getting blocks back
// (a stage that held them all would stall the pipeline for good).
#include "cli/pipeline/hash_stage.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kor {
namespace cli {
namespace {

TEST(HashStageTest, PoolPassesBlocksOnInOrderWithFewBlocksAround) {
  constexpr size_t kBlocks = 2;  // fewer than a pool may want in flight
  constexpr int kCount = 40;
  BlockQueue in(kBlocks);
  BlockQueue free(kBlocks);
  for (size_t b = 0; b < kBlocks; ++b) free.Push(std::make_unique<Block>(64));
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      std::unique_ptr<Block> block = free.Pop();
      if (block == nullptr) return;
      block->payload_length = static_cast<uint32_t>(1 + i % 64);
      for (auto &byte : block->bytes) byte = static_cast<uint8_t>(i);
      if (!in.Push(std::move(block))) return;
    }
    in.Close();
  });
  SealChain chain;
  SealChain expected;
  std::vector<int> order;
  const bool ok = HashEveryBlockInPool(
      &in, kBlocks,
      [&](std::unique_ptr<Block> block) {
        order.push_back(block->bytes[0]);
        expected.Add(Sha256Of(block->bytes.data(), block->payload_length));
        return free.Push(std::move(block));
      },
      &chain);
  producer.join();
  EXPECT_TRUE(ok);
  ASSERT_EQ(order.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(chain.FinishStored(), expected.FinishStored());
}

}  // namespace
}  // namespace cli
}  // namespace kor
