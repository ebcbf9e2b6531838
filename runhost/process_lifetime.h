// When the run host may end: once no KovShell object is referenced and no progress window is
// loaded.
#pragma once

#include <QObject>

namespace kov::runhost {

class ProcessLifetime final : public QObject {
  Q_OBJECT

 public:
  void ObjectCreated() { ++m_objects; }
  void ObjectReleased() { Drop(&m_objects); }
  void WindowLoaded() { ++m_windows; }
  void WindowUnloaded() { Drop(&m_windows); }

  int Objects() const { return m_objects; }
  int Windows() const { return m_windows; }
  bool Idle() const { return m_objects == 0 && m_windows == 0; }

 signals:
  // Emitted at once, from inside the destructor that let go of the last object or window; a
  // receiver that ends the process should do it from the event loop and check Idle() again.
  void BecameIdle();

 private:
  void Drop(int* count) {
    --*count;
    if (Idle()) emit BecameIdle();
  }

  int m_objects = 0;
  int m_windows = 0;
};

}  // namespace kov::runhost
