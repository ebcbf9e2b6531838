// KovShell, the run host's one public class: lRunKov hands a control file to a new progress
// window and returns at once with this process's identifier (in batch mode only after the run
// has ended and its window has been unloaded).
#pragma once

#include <QPointer>

#include <memory>

#include "automation_error.h"
#include "frm_em_run.h"
#include "kov_shell_interface.h"

class QWidget;

namespace kov::runhost {

class EngineLibrary;
class ProcessLifetime;

// Batch mode of this process: lRunKov waits for the end of the run. Set by "/B" on the command
// line and by lRunKov's bBatch when given.
inline bool gbBatch = false;

class KovShell final : public automation::KovShellInterface,
                       public std::enable_shared_from_this<KovShell> {
 public:
  // Always owned by a std::shared_ptr: the progress window holds its parent shell.
  static std::shared_ptr<KovShell> Create(EngineLibrary& engine, ProcessLifetime& lifetime);
  ~KovShell() override;
  KovShell(const KovShell&) = delete;
  KovShell& operator=(const KovShell&) = delete;

  // The run works in sCurrentDirectory when given, else in the control file's own folder; a
  // relative sControlFile is taken against the folder the process is in when the call comes.
  std::int32_t lRunKov(std::int16_t eRunType, const QString& sControlFile,
                       const QString& sCurrentDirectory, std::optional<bool> bBatch) override;

  // The progress window of the last run handed over, while it is loaded.
  frmEMRun* Window() const { return m_window.data(); }

 private:
  KovShell(EngineLibrary& engine, ProcessLifetime& lifetime);

  EngineLibrary& m_engine;
  ProcessLifetime& m_lifetime;
  QPointer<frmEMRun> m_window;
};

// How an automation error looks when the run host itself has to show it.
void ShowAutomationError(QWidget* parent, const automation::AutomationError& error);

}  // namespace kov::runhost
