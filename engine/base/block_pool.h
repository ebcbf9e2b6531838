// The engine's parallel loops: work split into fixed blocks, run on a few threads, each block
// writing only results of its own, which the caller then combines in block order. The blocks
// never depend on the number of threads, so neither does any sum: a run's files are the same
// byte for byte whether it had one thread or many.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace kov::run {

inline constexpr std::size_t kCacheLine = 64;

// Allocates whole cache lines that no other allocation shares, for the arrays a block writes on
// its own: two threads writing neighbouring blocks' arrays would otherwise pass the line
// between their cores at every write.
template <typename T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() = default;
  template <typename U>
  CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}
  static std::size_t Bytes(std::size_t n) {
    return (n * sizeof(T) + kCacheLine - 1) / kCacheLine * kCacheLine;
  }
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new (Bytes(n), std::align_val_t{kCacheLine}));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    ::operator delete (p, Bytes(n), std::align_val_t{kCacheLine});
  }
  template <typename U>
  bool operator==(const CacheLineAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using BlockVector = std::vector<T, CacheLineAllocator<T>>;

// The threads a run may use: MARNEL_THREADS when it holds a whole number from 1 to
// kMaxEngineThreads, else the processors this process may run on.
inline constexpr std::int32_t kMaxEngineThreads = 256;
std::int32_t EngineThreadCount();

// The fixed blocks of a loop over patterns: enough patterns a block that a block's own
// accumulators and their sum cost little beside its work, and at most kMaxBlocks blocks, so that
// the blocks' work arrays stay a small multiple of one set while two to eight threads stay busy.
// The count follows from the number of patterns alone, never from the number of threads.
inline constexpr std::size_t kPatternsPerBlock = 256;
inline constexpr std::size_t kMaxBlocks = 64;
inline std::size_t FixedBlockCount(std::size_t patterns) {
  const std::size_t blocks = (patterns + kPatternsPerBlock - 1) / kPatternsPerBlock;
  return blocks < 1 ? 1 : blocks > kMaxBlocks ? kMaxBlocks : blocks;
}

class BlockPool {
 public:
  using Work = std::function<void(std::size_t block)>;

  // threads counts the caller's own thread: 1 runs every block on the caller's thread.
  explicit BlockPool(std::int32_t threads);
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  std::int32_t Threads() const { return static_cast<std::int32_t>(m_helpers.size()) + 1; }

  // Runs work(b) for every block b in [0, blocks), and returns when all have returned. An
  // exception of a block (bad_alloc above all) is thrown again here, after the others ended.
  void Run(std::size_t blocks, const Work& work);

 private:
  // What a thread needs of a round, read under the lock when it joins.
  struct Round {
    std::uint32_t number = 0;
    std::size_t blocks = 0;
    std::size_t threads = 1;
    const Work* work = nullptr;
  };
  void Help(std::size_t self);
  void RunBlocks(std::size_t self, const Round& round);
  bool TakeBlock(std::size_t owner, const Round& round, std::size_t* block);
  std::size_t AbandonRound(const Round& round);

  std::vector<std::thread> m_helpers;
  std::mutex m_mutex;
  std::condition_variable m_started, m_finished;
  // Guarded by m_mutex.
  Round m_current;
  std::uint64_t m_round = 0;
  // Thread k (the caller 0, the helpers from 1) first takes the blocks of its own share of the
  // round, [blocks k / threads, blocks (k + 1) / threads), then those the others have not begun:
  // a block then runs on the same thread round after round, where its arrays are in the cache.
  // A cursor holds the round (high 32 bits) and the share's next block (low 32 bits), so that the
  // threads take blocks without the lock and one that comes late to a round takes nothing from
  // the next.
  struct alignas(kCacheLine) Cursor {
    std::atomic<std::uint64_t> ticket{0};
  };
  std::vector<Cursor> m_cursors;
  // The round's blocks not yet finished; Run's caller watches it before it goes to sleep.
  std::atomic<std::size_t> m_unfinished{0};
  bool m_stopping = false;
  std::exception_ptr m_failure;
  // m_round as the helpers may watch it without the lock, before they go to sleep.
  std::atomic<std::uint64_t> m_published{0};
};

}  // namespace kov::run
