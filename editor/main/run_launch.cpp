#include "run_launch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <exception>
#include <new>

#include "automation_error.h"
#include "document/interface_values.h"
#include "kov_shell_client.h"

namespace kov::editor {

namespace {

const QString kLineBreak = QStringLiteral("\n");

void PumpMessages() { QCoreApplication::processEvents(); }

// The number and description shown for a failure that is not the automation layer's own.
struct ErrorText {
  std::int32_t number;
  QString description;
};

ErrorText DescribeException(const std::exception& error) {
  // 7 is the number that "out of memory" has always had among run-time errors.
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return {7, QStringLiteral("Out of memory")};
  return {0, QString::fromLocal8Bit(error.what())};
}

}  // namespace

RunLauncher::RunLauncher(document::Document& document, gui::MessageSink& messages,
                         document::FileDialogs& dialogs)
    : m_document(document), m_messages(messages), m_dialogs(dialogs) {}

QString RunLauncher::WorkingFolderOf(const QString& controlFile) {
  return QFileInfo(controlFile).absolutePath();
}

RunLauncher::Outcome RunLauncher::Run(RunType runType) {
  if (m_running) {
    document::ShowFailure(m_messages,
                          QStringLiteral("An Kov session is already running: ") +
                              m_runningControlFile + QStringLiteral(".") + kLineBreak +
                              QStringLiteral("Please wait for it to finish, and then try again."),
                          QStringLiteral("Information: Job already running"));
    return Outcome::kRefused;
  }
  if (!ConfirmOverwriteOfStartValues(runType)) return Outcome::kStopped;
  if (!m_document.SaveBeforeProceeding()) return Outcome::kStopped;
  const QString controlFile = ControlFileToRun();
  if (controlFile.isEmpty()) return Outcome::kStopped;
  if (!ConfirmMissingStartValuesFile(runType, controlFile)) return Outcome::kStopped;
  return LaunchAndWait(runType, controlFile);
}

bool RunLauncher::ConfirmMissingStartValuesFile(RunType runType, const QString& controlFile) {
  if (runType != RunType::kDa) return true;
  // The chain starts from the estimates an EM run wrote; without them the engine stops at once
  // and leaves an empty report behind.
  const QString name = m_document.vGetInterfaceValue(document::kDaStartValuesFile).toString().trimmed();
  const QString path =
      name.isEmpty() ? QString() : QDir(WorkingFolderOf(controlFile)).absoluteFilePath(name);
  if (!path.isEmpty() && QFileInfo(path).isFile()) return true;
  const QString shown = path.isEmpty() ? QStringLiteral("(no file named)") : path;
  return document::AskQuestion(
             m_messages,
             QStringLiteral("The starting values file for data augmentation,") + kLineBreak +
                 shown + QStringLiteral(",") + kLineBreak +
                 QStringLiteral("does not exist.  Run EM with this file as its") + kLineBreak +
                 QStringLiteral("\"File name for parameters\" first.") + kLineBreak +
                 QStringLiteral("Run data augmentation anyway?"),
             gui::MessageButtons::kYesNo,
             QStringLiteral("Warning: Starting values file not found")) == gui::MessageAnswer::kYes;
}

bool RunLauncher::ConfirmOverwriteOfStartValues(RunType runType) {
  if (runType != RunType::kEm) return true;
  if (!m_document.vGetInterfaceValue(document::kSaveEmEstimates).toBool()) return true;
  const int estimation = m_document.vGetInterfaceValue(document::kEstimationType).toInt();
  if (estimation != document::kContinuePrevious && estimation != document::kNoEstimation) {
    return true;
  }
  const QString written = m_document.vGetInterfaceValue(document::kEmEstimatesFile).toString();
  const QString read = m_document.vGetInterfaceValue(document::kEmStartValuesFile).toString();
  if (written.compare(read, Qt::CaseInsensitive) != 0) return true;
  return document::AskQuestion(
             m_messages,
             QStringLiteral("The parameter estimates file containing starting values,") +
                 kLineBreak + written + QStringLiteral(",") + kLineBreak +
                 QStringLiteral("is about to be overwritten.  Do you wish") + kLineBreak +
                 QStringLiteral("to continue and overwrite this file?"),
             gui::MessageButtons::kYesNo,
             QStringLiteral("Warning: Parameters file about to be overwritten")) ==
         gui::MessageAnswer::kYes;
}

QString RunLauncher::ControlFileToRun() {
  QString path = m_document.Path();
  if (path.isEmpty()) path = m_dialogs.AskOpenPath(document::kControlFileFilter);
  return path.trimmed().isEmpty() ? QString() : path;
}

RunLauncher::Outcome RunLauncher::LaunchAndWait(RunType runType, const QString& controlFile) {
  m_running = true;
  m_runningControlFile = controlFile;
  bool calling = false;
  Outcome outcome = Outcome::kFinished;
  try {
    auto shell = automation::KovShellClient::Create();
    MinimiseFrame();
    PumpMessages();

    calling = true;
    const std::int32_t processId =
        shell->lRunKov(RunTypeCode(runType), controlFile, WorkingFolderOf(controlFile), m_batch);
    calling = false;

    // Identifier 0 (the control file was not accessible) opens nothing, and the wait below then
    // ends at once.
    m_process = kovos::OpenProcessForWait(static_cast<pid_t>(processId));
    PumpMessages();
    shell->Release();
    WaitForProcessEnd(m_process, kWaitStepMs, PumpMessages);
  } catch (const automation::AutomationError& error) {
    outcome = Outcome::kFailed;
    if (calling) {
      document::ShowFailure(m_messages, QStringLiteral("The Kov run terminated unexpectedly.") +
                                            kLineBreak + QStringLiteral("Error: ") +
                                            QString::number(error.Number()) + QStringLiteral("-") +
                                            error.Description());
    } else {
      document::ShowFailure(m_messages, QStringLiteral("Unexpected error: ") + kLineBreak +
                                            QString::number(error.Number()) + QStringLiteral("-") +
                                            error.Description());
    }
  } catch (const std::exception& error) {
    outcome = Outcome::kFailed;
    const ErrorText text = DescribeException(error);
    document::ShowFailure(m_messages, QStringLiteral("Unexpected error: ") + kLineBreak +
                                          QString::number(text.number) + QStringLiteral("-") +
                                          text.description);
  }
  RestoreFrame();
  EndJob();
  return outcome;
}

void RunLauncher::WaitForProcessEnd(kovos::Handle process, std::uint32_t stepMs,
                                    const std::function<void()>& pump) {
  if (process == 0) return;
  while (kovos::WaitForHandle(process, stepMs) == kovos::kWaitTimeout) pump();
}

void RunLauncher::MinimiseFrame() {
  if (m_frame.isNull()) return;
  m_frameState = m_frame->windowState() & ~Qt::WindowMinimized;
  m_frame->setWindowState(m_frameState | Qt::WindowMinimized);
  m_frameMinimised = true;
}

void RunLauncher::RestoreFrame() {
  if (!m_frameMinimised) return;
  m_frameMinimised = false;
  // The frame may have been closed while the run went on; then there is nothing to bring back.
  if (m_frame.isNull() || !m_frame->isVisible()) return;
  if (m_frame->windowState() & Qt::WindowMinimized) m_frame->setWindowState(m_frameState);
  PumpMessages();
  PumpMessages();
  m_frame->raise();
  m_frame->activateWindow();
}

void RunLauncher::EndJob() {
  if (m_process != 0) kovos::CloseHandle(m_process);
  m_process = 0;
  m_running = false;
  m_runningControlFile.clear();
}

}  // namespace kov::editor
