#include "kov_shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "file_access.h"
#include "frm_em_run.h"
#include "kovos.h"
#include "message_sink.h"
#include "process_lifetime.h"

namespace kov::runhost {

std::shared_ptr<KovShell> KovShell::Create(EngineLibrary& engine, ProcessLifetime& lifetime) {
  return std::shared_ptr<KovShell>(new KovShell(engine, lifetime));
}

KovShell::KovShell(EngineLibrary& engine, ProcessLifetime& lifetime)
    : m_engine(engine), m_lifetime(lifetime) {
  m_lifetime.ObjectCreated();
}

KovShell::~KovShell() { m_lifetime.ObjectReleased(); }

std::int32_t KovShell::lRunKov(std::int16_t eRunType, const QString& sControlFile,
                               const QString& sCurrentDirectory, std::optional<bool> bBatch) {
  // The caller may let go of this object while a batch run pumps events.
  const std::shared_ptr<KovShell> self = shared_from_this();
  if (!sCurrentDirectory.isEmpty()) QDir::setCurrent(sCurrentDirectory);
  if (bBatch.has_value()) gbBatch = *bBatch;
  const QString controlFile =
      sControlFile.isEmpty() ? sControlFile : QDir::cleanPath(QDir::current().absoluteFilePath(sControlFile));
  if (!FileAccessible(controlFile)) return 0;
  // Without a folder from the caller the run works beside its control file, where the bare
  // names written in it (data, report, estimates) are meant to be.
  if (sCurrentDirectory.isEmpty()) QDir::setCurrent(QFileInfo(controlFile).absolutePath());

  auto window = std::make_unique<frmEMRun>(m_engine, m_lifetime);
  const bool running = window->RunKov(eRunType, controlFile, self);
  const std::int32_t result = kovos::CurrentProcessId();
  // A window that never shows a run would stay loaded for ever and keep the process, and with
  // it a waiting caller, alive: it is unloaded here.
  if (!running) return result;
  m_window = window.release();

  if (gbBatch) {
    while (m_window != nullptr && !m_window->bOKToUnload()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QCoreApplication::processEvents();
    delete m_window.data();
    m_window.clear();
    QCoreApplication::processEvents();
  }
  return result;
}

void ShowAutomationError(QWidget* parent, const automation::AutomationError& error) {
  gui::ShowMessage(parent,
                   QStringLiteral("Run-time error '%1':\n\n%2").arg(error.Number()).arg(error.Description()),
                   {}, gui::MessageButtons::kOk, gui::MessageIcon::kCritical);
}

}  // namespace kov::runhost
