// frmEMRun, "Kov Run": the progress window of one engine run.
//
// RunKov accepts the run and asks the engine for its suspended worker; the first time the
// window is shown it sets the worker's priority, resumes it and polls it at once and then every
// second (and on "&Get Info") until the worker ends, showing the iteration of the maximum on a
// progress bar with the time left. The window then shows how the run ended (Finished, Failed
// with the engine's message, or Aborted) and the report's path with a button that shows it, and
// stays until "&Close"; while the run goes on, every other way of closing it is refused.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "kovos.h"
#include "run_type.h"
#include "worker_watch.h"

class QLabel;
class QProgressBar;
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

// The first iteration a poll saw and when (milliseconds on a steady clock): the pace of the run
// is measured from there, so the reading of the data before it does not count.
struct RunPace {
  std::int32_t iteration = 0;
  std::int64_t atMs = 0;
};

// ", time left m:ss" for a run at `iteration` of `maximum` that began its pace at `pace`:
// the time per iteration so far times the iterations not yet finished, counting the one in
// progress. An EM run may converge before its maximum, so for it the estimate is a bound
// (", at most m:ss left"). Empty until a later iteration than the pace's has been seen.
QString TimeLeftText(std::int32_t iteration, std::int64_t maximum, const RunPace& pace,
                     std::int64_t nowMs, bool emRun);

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
  QProgressBar* prgIterations() const { return m_prgIterations; }
  QLabel* lblReport() const { return m_lblReport; }
  QPushButton* cmdViewReport() const { return m_cmdViewReport; }
  const QTimer& Timer1() const { return m_timer1; }
  // The report of the run, absolute, as the control file names it; empty when it names none.
  QString ReportPath() const { return m_reportPath; }

  static constexpr int kPollIntervalMs = 1000;

 signals:
  // The worker has been resumed.
  void RunStarted();
  // The window shows how the run ended and every message about the run has been shown.
  void RunEnded();
  // "&View Report" has opened the report view (for tests, which close it again).
  void ReportShown(QWidget* view);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  enum class State { kLoaded, kAccepted, kRunning, kDone };

  void StartRun();
  // The engine's code and message are those it left when the run ended (code 0: none).
  void EndRun(std::int32_t code, const QString& message);
  void UpdateInfo();
  void PollSafely();
  void ShowRunning();
  void ShowDone(std::int32_t code, const QString& message);
  void OnWorkerEnded();
  void OnButtonClicked(int index);
  void ShowEngineError(std::int32_t code, const QString& message);
  std::int32_t FetchEngineError(QString* message);
  void LearnRunFiles(const QString& controlFile);
  // A run replaces its report (and a chain its series) without asking: the previous run's is
  // kept beside it as NAME.bak.
  void BackUpPreviousResults(const QString& controlFile) const;
  void ViewReport();
  QString Began() const;

  EngineLibrary& m_engine;
  ProcessLifetime& m_lifetime;

  std::array<QPushButton*, 2> m_cmdButton{};
  QLabel* m_lblInfo = nullptr;
  QLabel* m_label2 = nullptr;
  QLabel* m_lblStatus = nullptr;
  QProgressBar* m_prgIterations = nullptr;
  QLabel* m_lblReport = nullptr;
  QPushButton* m_cmdViewReport = nullptr;
  QTimer m_timer1;

  State m_state = State::kLoaded;
  bool m_okToUnload = true;
  QByteArray m_controlFile;
  kovos::Handle m_worker = 0;
  std::optional<RunType> m_runType;
  QDateTime m_startTime;
  QDateTime m_finishTime;
  bool m_abortRequested = false;
  std::optional<std::int64_t> m_maximum;
  std::optional<RunPace> m_pace;
  QString m_reportPath;
  // Holds the object, and with it the process, for as long as the window is loaded.
  std::shared_ptr<KovShell> m_parentShell;
  WorkerWatch m_watch;
};

}  // namespace kov::runhost
