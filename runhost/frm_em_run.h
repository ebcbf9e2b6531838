// frmEMRun, "Kov Run": the progress window of one engine run.
//
// RunKov accepts the run and asks the engine for its suspended worker; the first time the
// window is shown it sets the worker's priority, resumes it and polls it every five seconds
// (and on "&Get Info") until the worker ends. The window then shows "Done" and stays until
// "&Close"; while the run goes on, every other way of closing it is refused.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

#include "kovos.h"
#include "worker_watch.h"

class QLabel;
class QPushButton;

namespace kov::runhost {

class EngineLibrary;
class KovShell;
class ProcessLifetime;

// The criterion in the pattern ".000000000": nine decimals, no digit before the point when the
// value is below 1 (0.0000123 is ".000012300", 1.5 is "1.500000000").
QString FormatMad(double criterion);

// A date and time in the user's general date format: the short date and the time with seconds.
QString FormatGeneralDate(const QDateTime& value);

// The engine's fixed-length text: up to the first zero byte, blanks trimmed on both sides.
QString TrimEngineText(const char* buffer, std::size_t size);

// "Unexpected Error from runtime engine: " + line break + code + "-" + message.
QString EngineErrorText(std::int32_t code, const QString& trimmedMessage);

// The path left-aligned in a 300-byte field, padded with blanks or cut to 300 bytes.
QByteArray ControlFileField(const QString& path);

class frmEMRun final : public QWidget {
  Q_OBJECT

 public:
  frmEMRun(EngineLibrary& engine, ProcessLifetime& lifetime);
  ~frmEMRun() override;

  // Accepts a run (1 EM, 2 data augmentation) unless the engine is busy or already used, and
  // shows the window once the engine has created its worker. True when the window now shows a
  // run; false when the run was refused or no worker was created (the messages have been shown,
  // and the window will never be shown). Throws AutomationError when the engine is missing.
  bool RunKov(std::int16_t eMyRunType, const QString& sFileNameLOC,
              std::shared_ptr<KovShell> ParentShell);

  // False from the acceptance of a run until its end; true before and after.
  bool bOKToUnload() const { return m_okToUnload; }

  QPushButton* cmdButton(int index) const { return m_cmdButton.at(static_cast<std::size_t>(index)); }
  QLabel* lblInfo() const { return m_lblInfo; }
  QLabel* Label2() const { return m_label2; }
  QLabel* lblStatus() const { return m_lblStatus; }
  const QTimer& Timer1() const { return m_timer1; }

  static constexpr int kPollIntervalMs = 5000;

 signals:
  // The worker has been resumed.
  void RunStarted();
  // The window has reached Done and every message about the run has been shown.
  void RunEnded();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  enum class State { kLoaded, kAccepted, kRunning, kDone };

  void StartRun();
  void EndRun();
  void UpdateInfo();
  void ShowRunning();
  void ShowDone();
  void OnWorkerEnded();
  void OnButtonClicked(int index);
  void ShowEngineErrorIfAny();
  QString Began() const;

  EngineLibrary& m_engine;
  ProcessLifetime& m_lifetime;

  std::array<QPushButton*, 2> m_cmdButton{};
  QLabel* m_lblInfo = nullptr;
  QLabel* m_label2 = nullptr;
  QLabel* m_lblStatus = nullptr;
  QTimer m_timer1;

  State m_state = State::kLoaded;
  bool m_okToUnload = true;
  QByteArray m_controlFile;
  kovos::Handle m_worker = 0;
  std::int16_t m_runType = 0;
  QDateTime m_startTime;
  QDateTime m_finishTime;
  // Holds the object, and with it the process, for as long as the window is loaded.
  std::shared_ptr<KovShell> m_parentShell;
  WorkerWatch m_watch;
};

}  // namespace kov::runhost
