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

BlockPool::BlockPool(std::int32_t threads)
    : m_cursors(static_cast<std::size_t>(threads > 1 ? threads : 1)) {
  const std::int32_t helpers = threads > 1 ? threads - 1 : 0;
  m_helpers.reserve(static_cast<std::size_t>(helpers));
  try {
    for (std::int32_t i = 0; i < helpers; ++i) {
      const auto self = static_cast<std::size_t>(i) + 1;
      m_helpers.emplace_back([this, self] { Help(self); });
    }
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

namespace {

constexpr std::uint64_t kBlockBits = 0xffffffffu;

std::uint32_t TicketRound(std::uint64_t ticket) { return static_cast<std::uint32_t>(ticket >> 32); }
std::size_t TicketBlock(std::uint64_t ticket) {
  return static_cast<std::size_t>(ticket & kBlockBits);
}

// The end of thread owner's share of a round's blocks; its start is the share before's end.
std::size_t ShareEnd(std::size_t owner, std::size_t blocks, std::size_t threads) {
  return blocks * (owner + 1) / threads;
}

}  // namespace

// Takes the next block of owner's share, if the round has one left.
bool BlockPool::TakeBlock(std::size_t owner, const Round& round, std::size_t* block) {
  std::atomic<std::uint64_t>& ticket = m_cursors[owner].ticket;
  const std::size_t end = ShareEnd(owner, round.blocks, round.threads);
  std::uint64_t seen = ticket.load(std::memory_order_relaxed);
  do {
    if (TicketRound(seen) != round.number || TicketBlock(seen) >= end) return false;
  } while (!ticket.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  *block = TicketBlock(seen);
  return true;
}

// After a failure the blocks not yet begun never will be: returns how many that were.
std::size_t BlockPool::AbandonRound(const Round& round) {
  std::size_t abandoned = 0;
  for (std::size_t owner = 0; owner < round.threads; ++owner) {
    std::atomic<std::uint64_t>& ticket = m_cursors[owner].ticket;
    const std::size_t end = ShareEnd(owner, round.blocks, round.threads);
    std::uint64_t seen = ticket.load(std::memory_order_relaxed);
    while (TicketRound(seen) == round.number && TicketBlock(seen) < end) {
      if (ticket.compare_exchange_weak(seen, seen - TicketBlock(seen) + end,
                                       std::memory_order_acq_rel, std::memory_order_relaxed)) {
        abandoned += end - TicketBlock(seen);
        break;
      }
    }
  }
  return abandoned;
}

// Runs blocks of the round until none is left: its own share first, then the others'. Which
// thread runs which block is a matter of timing; what a block computes is not.
void BlockPool::RunBlocks(std::size_t self, const Round& round) {
  for (std::size_t i = 0; i < round.threads; ++i) {
    const std::size_t owner = (self + i) % round.threads;
    std::size_t block = 0;
    while (TakeBlock(owner, round, &block)) {
      std::size_t finished = 1;
      try {
        (*round.work)(block);
      } catch (...) {
        {
          std::lock_guard lock(m_mutex);
          if (!m_failure) m_failure = std::current_exception();
        }
        // The round is lost: the blocks not yet begun count as finished.
        finished += AbandonRound(round);
      }
      if (m_unfinished.fetch_sub(finished, std::memory_order_acq_rel) == finished) {
        std::lock_guard lock(m_mutex);
        m_finished.notify_all();
      }
    }
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

void BlockPool::Help(std::size_t self) {
  std::uint64_t seen = 0;
  for (;;) {
    for (int pause = 0;
         pause < kPausesBeforeSleep && m_published.load(std::memory_order_acquire) == seen;
         ++pause) {
      Pause();
    }
    Round round;
    {
      std::unique_lock lock(m_mutex);
      m_started.wait(lock, [&] { return m_stopping || m_round != seen; });
      if (m_stopping) return;
      seen = m_round;
      round = m_current;
    }
    RunBlocks(self, round);
  }
}

void BlockPool::Run(std::size_t blocks, const Work& work) {
  if (blocks == 0) return;
  if (m_helpers.empty() || blocks == 1) {
    for (std::size_t block = 0; block < blocks; ++block) work(block);
    return;
  }
  Round round;
  {
    std::lock_guard lock(m_mutex);
    ++m_round;
    round.number = static_cast<std::uint32_t>(m_round);
    round.blocks = blocks;
    round.threads = m_helpers.size() + 1;
    round.work = &work;
    m_current = round;
    m_unfinished.store(blocks, std::memory_order_relaxed);
    m_failure = nullptr;
    for (std::size_t owner = 0; owner < round.threads; ++owner) {
      const std::size_t start = owner == 0 ? 0 : ShareEnd(owner - 1, blocks, round.threads);
      m_cursors[owner].ticket.store((static_cast<std::uint64_t>(round.number) << 32) | start,
                                    std::memory_order_release);
    }
    m_published.store(m_round, std::memory_order_release);
  }
  m_started.notify_all();
  RunBlocks(0, round);
  // The helpers' last blocks end soon after the caller's: waiting for them awake costs less than
  // a sleep and a wake-up, which would take about as long as a small round.
  for (int pause = 0;
       pause < kPausesBeforeSleep && m_unfinished.load(std::memory_order_acquire) != 0; ++pause) {
    Pause();
  }
  std::exception_ptr failure;
  {
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&] { return m_unfinished.load(std::memory_order_relaxed) == 0; });
    failure = m_failure;
    m_current.work = nullptr;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kov::run
