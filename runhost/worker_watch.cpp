#include "worker_watch.h"

namespace kov::runhost {

void WorkerWatch::Start(kovos::Handle worker, std::function<void()> onEnded) {
  Stop();
  m_thread = std::jthread([worker, onEnded = std::move(onEnded)](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (kovos::WaitForHandle(worker, kWaitStepMs) != kovos::kWaitTimeout) {
        onEnded();
        return;
      }
    }
  });
}

void WorkerWatch::Stop() {
  if (!m_thread.joinable()) return;
  m_thread.request_stop();
  m_thread.join();
}

}  // namespace kov::runhost
