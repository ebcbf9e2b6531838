// The engine's parallel loops: every block runs once whatever the thread count, a block's
// failure reaches the caller, and the thread count follows MARNEL_THREADS or the processors.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <vector>

#include "base/block_pool.h"

namespace kov::run {
namespace {

TEST(BlockPool, RunsEveryBlockOnceForAnyThreadCount) {
  for (const std::int32_t threads : {1, 2, 7}) {
    BlockPool pool(threads);
    EXPECT_EQ(pool.Threads(), threads);
    // Several rounds on one pool, as the iterations of a run.
    for (const std::size_t blocks : {0u, 1u, 3u, 100u, 1000u}) {
      std::vector<std::atomic<int>> runs(blocks);
      pool.Run(blocks, [&](std::size_t block) { ++runs[block]; });
      for (std::size_t b = 0; b < blocks; ++b) {
        ASSERT_EQ(runs[b].load(), 1) << threads << " threads, block " << b << " of " << blocks;
      }
    }
  }
}

TEST(BlockPool, AFailedBlockIsThrownAgainAndThePoolGoesOn) {
  BlockPool pool(3);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.Run(50, [&](std::size_t block) {
                 ++ran;
                 if (block == 7) throw std::bad_alloc();
               }),
               std::bad_alloc);
  EXPECT_LE(ran.load(), 50);
  std::atomic<int> after{0};
  pool.Run(20, [&](std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 20);
}

TEST(BlockPool, ThreadCountFollowsTheEnvironmentWithinItsLimits) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const std::int32_t processors = CPU_COUNT(&set);
  struct Case {
    const char* value;  // null: unset
    std::int32_t threads;
  };
  for (const Case& c : {Case{nullptr, processors}, Case{"1", 1}, Case{"3", 3}, Case{"256", 256},
                        Case{"0", processors}, Case{"257", processors}, Case{"-2", processors},
                        Case{"2x", processors}, Case{"", processors}}) {
    if (c.value == nullptr) {
      unsetenv("MARNEL_THREADS");
    } else {
      setenv("MARNEL_THREADS", c.value, 1);
    }
    EXPECT_EQ(EngineThreadCount(), c.threads) << (c.value ? c.value : "unset");
  }
  unsetenv("MARNEL_THREADS");
}

}  // namespace
}  // namespace kov::run
