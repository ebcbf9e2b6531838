#include "frm_em_run.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "automation_error.h"
#include "control_head.h"
#include "engine_library.h"
#include "kov_exports.h"
#include "kov_shell.h"
#include "message_sink.h"
#include "process_lifetime.h"
#include "progress_display.h"
#include "registry.h"
#include "report_dialog.h"

namespace kov::runhost {

namespace {

constexpr int kWindowWidth = 460;
constexpr int kWindowHeight = 290;
// The bar counts in thousandths of the maximum: a chain's length may pass what an int holds.
constexpr int kBarSteps = 1000;

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The locale's long time format (it has the seconds) without its time-zone part.
QString TimeFormatWithSeconds(const QLocale& locale) {
  const QString format = locale.timeFormat(QLocale::LongFormat);
  QString kept;
  bool quoted = false;
  for (const QChar character : format) {
    if (character == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && character == QLatin1Char('t')) continue;
    kept += character;
  }
  return kept.simplified();
}

}  // namespace

QString FormatMad(double criterion) {
  // Room for the longest fixed-point double: 309 integer digits, sign, point and 9 decimals.
  char buffer[330];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, criterion, std::chars_format::fixed, 9);
  if (error != std::errc()) return QStringLiteral("?");
  QString text = QString::fromLatin1(buffer, end - buffer);
  if (text.startsWith(QLatin1String("0."))) {
    text.remove(0, 1);
  } else if (text.startsWith(QLatin1String("-0."))) {
    text.remove(1, 1);
  }
  return text;
}

QString FormatGeneralDate(const QDateTime& value) {
  const QLocale locale;
  return locale.toString(value.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(value.time(), TimeFormatWithSeconds(locale));
}

QString TrimEngineText(const char* buffer, std::size_t size) {
  const void* zero = std::memchr(buffer, '\0', size);
  const std::size_t length = zero != nullptr ? static_cast<const char*>(zero) - buffer : size;
  std::size_t first = 0;
  std::size_t last = length;
  while (first < last && buffer[first] == ' ') ++first;
  while (last > first && buffer[last - 1] == ' ') --last;
  return QString::fromLocal8Bit(buffer + first, static_cast<qsizetype>(last - first));
}

QString EngineErrorText(std::int32_t code, const QString& trimmedMessage) {
  return QStringLiteral("Unexpected Error from runtime engine: \n") + QString::number(code) +
         QLatin1Char('-') + trimmedMessage;
}

QByteArray ControlFileField(const QString& path) {
  QByteArray field = QFile::encodeName(path).left(kControlPathBytes);
  field.append(kControlPathBytes - field.size(), ' ');
  return field;
}

QString TimeLeftText(std::int32_t iteration, std::int64_t maximum, const RunPace& pace,
                     std::int64_t nowMs, bool emRun) {
  if (iteration <= pace.iteration || iteration > maximum) return {};
  const std::int64_t elapsed = std::max<std::int64_t>(nowMs - pace.atMs, 0);
  // Iterations pace.iteration .. iteration - 1 took `elapsed`; iteration .. maximum remain.
  const double perIteration = static_cast<double>(elapsed) / (iteration - pace.iteration);
  const double remaining = static_cast<double>(maximum - iteration + 1);
  const auto seconds = static_cast<std::int64_t>(std::llround(perIteration * remaining / 1000.0));
  const QString duration = QString::fromStdString(kovrun::FormatDuration(seconds));
  return emRun ? QStringLiteral(", at most ") + duration + QStringLiteral(" left")
               : QStringLiteral(", time left ") + duration;
}

frmEMRun::frmEMRun(EngineLibrary& engine, ProcessLifetime& lifetime)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      m_engine(engine),
      m_lifetime(lifetime) {
  m_lifetime.WindowLoaded();
  setWindowTitle(QStringLiteral("Kov Run"));

  m_lblInfo = new QLabel(this);
  m_lblInfo->setObjectName(QStringLiteral("lblInfo"));
  m_lblInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_lblInfo->setWordWrap(true);
  m_label2 = new QLabel(QStringLiteral("Status:"), this);
  m_label2->setObjectName(QStringLiteral("Label2"));
  m_lblStatus = new QLabel(this);
  m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
  m_prgIterations = new QProgressBar(this);
  m_prgIterations->setObjectName(QStringLiteral("prgIterations"));
  m_prgIterations->setRange(0, kBarSteps);
  m_prgIterations->setValue(0);
  m_prgIterations->setVisible(false);
  m_lblReport = new QLabel(this);
  m_lblReport->setObjectName(QStringLiteral("lblReport"));
  m_lblReport->setWordWrap(true);
  m_lblReport->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_cmdViewReport = new QPushButton(QStringLiteral("&View Report"), this);
  m_cmdViewReport->setObjectName(QStringLiteral("cmdViewReport"));
  m_cmdViewReport->setEnabled(false);
  connect(m_cmdViewReport, &QPushButton::clicked, this, &frmEMRun::ViewReport);
  m_cmdButton[0] = new QPushButton(QStringLiteral("&Abort"), this);
  m_cmdButton[1] = new QPushButton(QStringLiteral("&Get Info"), this);
  for (int index = 0; index < 2; ++index) {
    m_cmdButton[static_cast<std::size_t>(index)]->setObjectName(QStringLiteral("cmdButton%1").arg(index));
    connect(m_cmdButton[static_cast<std::size_t>(index)], &QPushButton::clicked, this,
            [this, index] { OnButtonClicked(index); });
  }

  auto* status = new QHBoxLayout;
  status->addWidget(m_label2);
  status->addWidget(m_lblStatus, 1);
  auto* report = new QHBoxLayout;
  report->addWidget(m_lblReport, 1);
  report->addWidget(m_cmdViewReport, 0, Qt::AlignTop);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_cmdButton[0]);
  buttons->addWidget(m_cmdButton[1]);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_lblInfo, 1);
  layout->addLayout(status);
  layout->addWidget(m_prgIterations);
  layout->addLayout(report);
  layout->addLayout(buttons);

  setFixedSize(kWindowWidth, kWindowHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr) {
    const QRect area = screen->geometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }

  m_timer1.setInterval(kPollIntervalMs);
  connect(&m_timer1, &QTimer::timeout, this, &frmEMRun::PollSafely);
}

void frmEMRun::PollSafely() {
  try {
    UpdateInfo();
  } catch (const automation::AutomationError& error) {
    m_timer1.stop();
    ShowAutomationError(this, error);
  }
}

frmEMRun::~frmEMRun() {
  m_watch.Stop();
  // Only a window whose process is going away is destroyed with a worker still running; the
  // worker goes on and frees itself.
  if (m_worker != 0) kovos::CloseHandle(m_worker);
  m_lifetime.WindowUnloaded();
}

bool frmEMRun::RunKov(std::int16_t eMyRunType, const QString& sFileNameLOC,
                      std::shared_ptr<KovShell> ParentShell) {
  if (m_engine.lCurrentlyRunning() != 0) {
    gui::ShowMessage(nullptr,
                     QStringLiteral("Another Kov run is currently executing.\n"
                                    "Please wait until it is completed and try again."),
                     {}, gui::MessageButtons::kOk, gui::MessageIcon::kWarning);
    return false;
  }
  if (m_engine.lClean() != 1) {
    gui::ShowMessage(nullptr,
                     QStringLiteral("Another job is finished, but the process is not closed yet.\n"
                                    "Please press \"close\" on the other execution window and try "
                                    "again."),
                     {}, gui::MessageButtons::kOk, gui::MessageIcon::kWarning);
    return false;
  }

  m_okToUnload = false;
  m_controlFile = ControlFileField(sFileNameLOC);
  m_parentShell = std::move(ParentShell);
  m_runType = RunTypeOfCode(eMyRunType);
  m_startTime = QDateTime::currentDateTime();
  m_state = State::kAccepted;
  LearnRunFiles(sFileNameLOC);
  BackUpPreviousResults(sFileNameLOC);

  kovos::Handle worker = 0;
  // A number that names no run type starts no worker.
  if (m_runType == RunType::kEm) {
    worker = m_engine.lRunKovEM(m_controlFile.constData(), kControlPathBytes);
  } else if (m_runType == RunType::kDa) {
    worker = m_engine.lRunKovDA(m_controlFile.constData(), kControlPathBytes);
  }

  QString message;
  std::int32_t code = 0;
  if (worker != 0) {
    m_worker = worker;
    show();
    code = FetchEngineError(&message);
  } else {
    code = FetchEngineError(&message);
    gui::ShowMessage(nullptr,
                     QStringLiteral("Error processing ") + QString::number(code) +
                         QStringLiteral(": ") + message,
                     {}, gui::MessageButtons::kOk, gui::MessageIcon::kCritical);
    m_finishTime = QDateTime::currentDateTime();
    EndRun(code, message);
  }
  ShowEngineError(code, message);
  if (worker == 0) emit RunEnded();
  return worker != 0;
}

void frmEMRun::BackUpPreviousResults(const QString& controlFile) const {
  QStringList files{m_reportPath};
  if (m_runType == RunType::kDa) {
    if (const auto series = client::ReadSeriesName(QFile::encodeName(controlFile).toStdString())) {
      files << QDir::current().absoluteFilePath(QFile::decodeName(series->c_str()));
    }
  }
  for (const QString& file : files) {
    if (file.isEmpty() || !QFileInfo(file).isFile()) continue;
    // Only the latest earlier run is kept. A copy that fails leaves the run to replace the file
    // as it always did; it is no reason to refuse the run.
    const QString backup = file + QStringLiteral(".bak");
    QFile::remove(backup);
    (void)QFile::copy(file, backup);
  }
}

void frmEMRun::LearnRunFiles(const QString& controlFile) {
  const std::string path = QFile::encodeName(controlFile).toStdString();
  const client::RunKind kind =
      m_runType == RunType::kDa ? client::RunKind::kDataAugmentation : client::RunKind::kEM;
  m_maximum = client::ReadIterationLimit(path, kind);
  m_prgIterations->setVisible(m_maximum.has_value());
  const std::optional<std::string> report = client::ReadReportName(path, kind);
  // The engine opens a relative name in the folder the run works in, which is current now.
  m_reportPath = report ? QDir::current().absoluteFilePath(QFile::decodeName(report->c_str()))
                        : QString();
  m_lblReport->setText(QStringLiteral("Report: ") +
                       (m_reportPath.isEmpty() ? QStringLiteral("(none named)")
                                               : QDir::toNativeSeparators(m_reportPath)));
}

void frmEMRun::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The run starts once the events that showing the window caused have been handled.
  if (m_state == State::kAccepted) {
    QMetaObject::invokeMethod(this, &frmEMRun::StartRun, Qt::QueuedConnection);
  }
}

void frmEMRun::closeEvent(QCloseEvent* event) {
  if (!m_okToUnload) {
    event->ignore();
    gui::ShowMessage(this, QStringLiteral("Kov run still processing.  Abort run to quit now"), {},
                     gui::MessageButtons::kOk, gui::MessageIcon::kWarning);
    return;
  }
  event->accept();
  // Closing unloads the window.
  deleteLater();
}

void frmEMRun::StartRun() {
  // Once per window, and never for a run that has not been accepted or has ended.
  if (m_state != State::kAccepted) return;
  m_state = State::kRunning;
  ShowRunning();
  m_timer1.start();
  // The first poll comes at once, so the window shows where the run is from its start.
  PollSafely();
  // The worker must never run at the wrong priority, so it is set while the worker still waits.
  SetRunPriority(m_worker);
  ApplyThreadSetting();
  kovos::ResumeThread(m_worker);
  m_watch.Start(m_worker, [this] {
    QMetaObject::invokeMethod(this, &frmEMRun::OnWorkerEnded, Qt::QueuedConnection);
  });
  emit RunStarted();
}

void frmEMRun::OnWorkerEnded() {
  if (m_state != State::kRunning) return;
  m_watch.Stop();
  m_finishTime = QDateTime::currentDateTime();
  try {
    // The last iteration the run reached stays on the bar.
    UpdateInfo();
    QString message;
    const std::int32_t code = FetchEngineError(&message);
    EndRun(code, message);
    // A run the user aborted ends as asked: its window says so, and no error box follows.
    if (!m_abortRequested) ShowEngineError(code, message);
  } catch (const automation::AutomationError& error) {
    if (m_state != State::kDone) EndRun(0, QString());
    ShowAutomationError(this, error);
  }
  emit RunEnded();
}

void frmEMRun::EndRun(std::int32_t code, const QString& message) {
  m_timer1.stop();
  ShowDone(code, message);
  if (m_worker != 0) {
    kovos::CloseHandle(m_worker);
    m_worker = 0;
  }
  m_state = State::kDone;
  m_okToUnload = true;
}

std::int32_t frmEMRun::FetchEngineError(QString* message) {
  char buffer[kErrorMessageBytes];
  const std::int32_t code = m_engine.lGetKovError(buffer, kErrorMessageBytes);
  *message = TrimEngineText(buffer, sizeof buffer);
  return code;
}

void frmEMRun::ShowEngineError(std::int32_t code, const QString& message) {
  if (code == 0) return;
  gui::ShowMessage(isVisible() ? this : nullptr, EngineErrorText(code, message), {},
                   gui::MessageButtons::kOk, gui::MessageIcon::kCritical);
}

QString frmEMRun::Began() const {
  return QStringLiteral("Began: ") + FormatGeneralDate(m_startTime);
}

void frmEMRun::ShowRunning() {
  m_cmdButton[0]->setText(QStringLiteral("&Abort"));
  m_lblStatus->setText(QStringLiteral("Running"));
  m_lblInfo->setText(Began());
}

void frmEMRun::ShowDone(std::int32_t code, const QString& message) {
  m_cmdButton[0]->setText(QStringLiteral("&Close"));
  const QString ended = FormatGeneralDate(m_finishTime);
  if (m_abortRequested) {
    m_lblStatus->setText(QStringLiteral("Aborted"));
    m_lblInfo->setText(Began() + QStringLiteral("\nEnded: ") + ended);
  } else if (code != 0) {
    m_lblStatus->setText(QStringLiteral("Failed"));
    m_lblInfo->setText(Began() + QStringLiteral("\nEnded: ") + ended + QLatin1Char('\n') +
                       QString::number(code) + QLatin1Char('-') + message);
  } else {
    m_lblStatus->setText(QStringLiteral("Finished"));
    m_lblInfo->setText(Began() + QStringLiteral("\nFinished: ") + ended);
    // A run that converged stops well short of its maximum; the bar says it is over.
    m_prgIterations->setValue(kBarSteps);
    m_prgIterations->setFormat(QStringLiteral("Finished"));
  }
  m_cmdButton[1]->setEnabled(false);
  m_cmdViewReport->setEnabled(!m_reportPath.isEmpty() && QFileInfo(m_reportPath).isFile());
}

void frmEMRun::ViewReport() {
  auto* view = new gui::ReportDialog(this);
  view->setAttribute(Qt::WA_DeleteOnClose);
  view->Load(m_reportPath);
  view->show();
  emit ReportShown(view);
}

void frmEMRun::UpdateInfo() {
  std::int32_t iteration = 0;
  double criterion = 0.0;
  std::int16_t running = 0;
  if (m_engine.lGetIteration(&iteration, &criterion, &running) != 1) {
    m_lblInfo->setText(Began() + QStringLiteral("\nGet Iteration failed"));
    return;
  }
  const std::int64_t nowMs = SteadyMs();
  if (iteration > 0 && !m_pace) m_pace = RunPace{iteration, nowMs};
  QString progress = QStringLiteral("Iteration ") + QString::number(iteration);
  if (m_maximum) {
    progress += QStringLiteral(" of ") + QString::number(*m_maximum);
    const std::int64_t done = std::clamp<std::int64_t>(iteration, 0, *m_maximum);
    m_prgIterations->setValue(static_cast<int>(done * kBarSteps / *m_maximum));
    m_prgIterations->setFormat(QString::number(done) + QStringLiteral(" of ") +
                               QString::number(*m_maximum));
  }
  if (m_runType != RunType::kDa) progress += QStringLiteral(",MAD= ") + FormatMad(criterion);
  if (m_maximum && m_pace)
    progress += TimeLeftText(iteration, *m_maximum, *m_pace, nowMs, m_runType != RunType::kDa);
  m_lblInfo->setText(Began() + QLatin1Char('\n') + progress + QStringLiteral("\n at ") +
                     FormatGeneralDate(QDateTime::currentDateTime()));
}

void frmEMRun::OnButtonClicked(int index) {
  try {
    if (index == 1) {
      UpdateInfo();
    } else if (m_state == State::kDone) {
      close();
    } else if (m_worker != 0) {
      // A worker that has not been started yet gets its priority first; a suspended worker
      // would never see the request.
      if (m_state == State::kAccepted) StartRun();
      m_abortRequested = true;
      kovos::ResumeThread(m_worker);
      m_engine.lAbortRun();
    }
  } catch (const automation::AutomationError& error) {
    ShowAutomationError(this, error);
  }
}

}  // namespace kov::runhost
