#include "block_pool.h"

#include <sched.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace kov::run {

std::int32_t EngineThreadCount() {
  if (const char* text = std::getenv("MARNEL_THREADS")) {
    std::int32_t value = 0;
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value);
    if (result.ec == std::errc() && result.ptr == end && value >= 1 && value <= kMaxEngineThreads) {
      return value;
    }
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  // The processors this process may use, which a container or taskset may restrict below the
  // machine's count.
  const int available = sched_getaffinity(0, sizeof set, &set) == 0
                            ? CPU_COUNT(&set)
                            : static_cast<int>(std::thread::hardware_concurrency());
  return available < 1 ? 1 : available > kMaxEngineThreads ? kMaxEngineThreads : available;
}

BlockPool::BlockPool(std::int32_t threads) {
  const std::int32_t helpers = threads > 1 ? threads - 1 : 0;
  m_helpers.reserve(static_cast<std::size_t>(helpers));
  try {
    for (std::int32_t i = 0; i < helpers; ++i) m_helpers.emplace_back([this] { Help(); });
  } catch (const std::system_error&) {
    // Fewer threads than asked for only take longer.
  }
}

BlockPool::~BlockPool() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    // Ends a helper's watch at once.
    m_published.store(m_round + 1, std::memory_order_release);
  }
  m_started.notify_all();
  for (std::thread& helper : m_helpers) helper.join();
}

// Takes blocks in turn until none is left. Which thread runs which block is a matter of timing;
// what a block computes is not.
void BlockPool::RunBlocks() {
  std::unique_lock lock(m_mutex);
  while (m_nextBlock < m_blocks) {
    const std::size_t block = m_nextBlock++;
    const Work& work = *m_work;
    lock.unlock();
    try {
      work(block);
    } catch (...) {
      lock.lock();
      if (!m_failure) m_failure = std::current_exception();
      // The round is lost: the blocks not yet begun never will be, and count as finished.
      m_unfinished -= m_blocks - m_nextBlock;
      m_nextBlock = m_blocks;
      lock.unlock();
    }
    lock.lock();
    if (--m_unfinished == 0) m_finished.notify_all();
  }
}

namespace {

// A helper that has finished a round watches for the next one this many pauses (some tens of
// microseconds) before it sleeps: the E-step runs a few rounds in a row, iteration after
// iteration, and a sleeping thread takes about as long to wake as a small round takes to run.
constexpr int kPausesBeforeSleep = 2000;

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

void BlockPool::Help() {
  std::uint64_t seen = 0;
  for (;;) {
    for (int pause = 0;
         pause < kPausesBeforeSleep && m_published.load(std::memory_order_acquire) == seen;
         ++pause) {
      Pause();
    }
    {
      std::unique_lock lock(m_mutex);
      m_started.wait(lock, [&] { return m_stopping || m_round != seen; });
      if (m_stopping) return;
      seen = m_round;
    }
    RunBlocks();
  }
}

void BlockPool::Run(std::size_t blocks, const Work& work) {
  if (blocks == 0) return;
  if (m_helpers.empty() || blocks == 1) {
    for (std::size_t block = 0; block < blocks; ++block) work(block);
    return;
  }
  {
    std::lock_guard lock(m_mutex);
    m_work = &work;
    m_blocks = blocks;
    m_nextBlock = 0;
    m_unfinished = blocks;
    m_failure = nullptr;
    ++m_round;
    m_published.store(m_round, std::memory_order_release);
  }
  m_started.notify_all();
  RunBlocks();
  std::exception_ptr failure;
  {
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&] { return m_unfinished == 0; });
    failure = m_failure;
    m_work = nullptr;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kov::run
