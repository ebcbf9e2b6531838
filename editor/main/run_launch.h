// Running the current model: the control file goes to a run host (KovExec) created through the
// automation object "KovExec.KovShell", and the editor waits for that process to end while it
// keeps serving its own windows. One run at a time.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

#include "document/document.h"
#include "kovos.h"
#include "run_type.h"

namespace kov::editor {

class RunLauncher {
 public:
  enum class Outcome {
    kRefused,   // a run was in progress already
    kStopped,   // the user stopped before a run host was asked for
    kFinished,  // the run host was started and has ended
    kFailed,    // the run host could not be created or its call failed (after the message)
  };

  // Waits in steps of this many milliseconds, handling the editor's events in between.
  static constexpr std::uint32_t kWaitStepMs = 100;

  RunLauncher(document::Document& document, gui::MessageSink& messages,
              document::FileDialogs& dialogs);

  // The window that is minimised for the run and restored afterwards.
  void SetFrame(QWidget* frame) { m_frame = frame; }

  // The folder a run of this control file works in, handed to the run host as its current
  // directory: the control file's own, so that the bare names written in it (data, reports,
  // estimates, series) mean the files beside it. An installed editor's folder is no place for
  // them: it holds no user data and is not writable.
  static QString WorkingFolderOf(const QString& controlFile);

  // Batch mode of the run host: it then returns from lRunKov only when the run is over and
  // closes its progress window by itself. The editor runs interactively; only a test that has
  // nobody to press "&Close" in the run host turns this on.
  void SetBatch(bool batch) { m_batch = batch; }

  bool IsRunning() const { return m_running; }
  QString RunningControlFile() const { return m_runningControlFile; }

  // The whole launch, from the refusal of a second run to the end of the wait.
  Outcome Run(RunType runType);

  // Waits until the process behind the handle has ended or the wait fails, calling pump after
  // every step that timed out.
  static void WaitForProcessEnd(kovos::Handle process, std::uint32_t stepMs,
                                const std::function<void()>& pump);

 private:
  bool ConfirmOverwriteOfStartValues(RunType runType);
  bool ConfirmMissingStartValuesFile(RunType runType, const QString& controlFile);
  QString ControlFileToRun();
  Outcome LaunchAndWait(RunType runType, const QString& controlFile);
  void MinimiseFrame();
  void RestoreFrame();
  void EndJob();

  document::Document& m_document;
  gui::MessageSink& m_messages;
  document::FileDialogs& m_dialogs;
  QPointer<QWidget> m_frame;
  bool m_batch = false;

  bool m_running = false;
  QString m_runningControlFile;
  kovos::Handle m_process = 0;
  Qt::WindowStates m_frameState;
  bool m_frameMinimised = false;
};

}  // namespace kov::editor
