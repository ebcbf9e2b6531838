// Waits on the engine's worker thread in steps of 500 ms on a thread of its own, so that the
// window thread never blocks on the worker and stays responsive to the timer, the buttons and
// the refusal to close.
#pragma once

#include <functional>
#include <thread>

#include "kovos.h"

namespace kov::runhost {

class WorkerWatch {
 public:
  WorkerWatch() = default;
  ~WorkerWatch() { Stop(); }
  WorkerWatch(const WorkerWatch&) = delete;
  WorkerWatch& operator=(const WorkerWatch&) = delete;

  // Calls onEnded once, on the watch's own thread, when the worker has ended (or the handle
  // turned out not to be waitable, which means there is nothing left to wait for).
  void Start(kovos::Handle worker, std::function<void()> onEnded);

  // Stops watching and waits for the watch thread; at most one wait step when the worker still
  // runs, at once after onEnded.
  void Stop();

  static constexpr std::uint32_t kWaitStepMs = 500;

 private:
  std::jthread m_thread;
};

}  // namespace kov::runhost
