#include "frm_em_run.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <charconv>
#include <cstring>

#include "automation_error.h"
#include "engine_library.h"
#include "kov_exports.h"
#include "kov_shell.h"
#include "message_sink.h"
#include "process_lifetime.h"
#include "registry.h"

namespace kov::runhost {

namespace {

constexpr int kWindowWidth = 380;
constexpr int kWindowHeight = 170;

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
  m_label2 = new QLabel(QStringLiteral("Status:"), this);
  m_label2->setObjectName(QStringLiteral("Label2"));
  m_lblStatus = new QLabel(this);
  m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
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
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_cmdButton[0]);
  buttons->addWidget(m_cmdButton[1]);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_lblInfo, 1);
  layout->addLayout(status);
  layout->addLayout(buttons);

  setFixedSize(kWindowWidth, kWindowHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr) {
    const QRect area = screen->geometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }

  m_timer1.setInterval(kPollIntervalMs);
  connect(&m_timer1, &QTimer::timeout, this, [this] {
    try {
      UpdateInfo();
    } catch (const automation::AutomationError& error) {
      m_timer1.stop();
      ShowAutomationError(this, error);
    }
  });
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
  m_runType = eMyRunType;
  m_startTime = QDateTime::currentDateTime();
  m_state = State::kAccepted;

  kovos::Handle worker = 0;
  if (m_runType == 1) {
    worker = m_engine.lRunKovEM(m_controlFile.constData(), kControlPathBytes);
  } else if (m_runType == 2) {
    worker = m_engine.lRunKovDA(m_controlFile.constData(), kControlPathBytes);
  }

  if (worker != 0) {
    m_worker = worker;
    show();
  } else {
    char message[kErrorMessageBytes];
    const std::int32_t code = m_engine.lGetKovError(message, kErrorMessageBytes);
    gui::ShowMessage(nullptr,
                     QStringLiteral("Error processing ") + QString::number(code) +
                         QStringLiteral(": ") + TrimEngineText(message, sizeof message),
                     {}, gui::MessageButtons::kOk, gui::MessageIcon::kCritical);
    m_finishTime = QDateTime::currentDateTime();
    EndRun();
  }
  ShowEngineErrorIfAny();
  if (worker == 0) emit RunEnded();
  return worker != 0;
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
  EndRun();
  try {
    ShowEngineErrorIfAny();
  } catch (const automation::AutomationError& error) {
    ShowAutomationError(this, error);
  }
  emit RunEnded();
}

void frmEMRun::EndRun() {
  m_timer1.stop();
  ShowDone();
  if (m_worker != 0) {
    kovos::CloseHandle(m_worker);
    m_worker = 0;
  }
  m_state = State::kDone;
  m_okToUnload = true;
}

void frmEMRun::ShowEngineErrorIfAny() {
  char message[kErrorMessageBytes];
  const std::int32_t code = m_engine.lGetKovError(message, kErrorMessageBytes);
  if (code == 0) return;
  gui::ShowMessage(isVisible() ? this : nullptr,
                   EngineErrorText(code, TrimEngineText(message, sizeof message)), {},
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

void frmEMRun::ShowDone() {
  m_cmdButton[0]->setText(QStringLiteral("&Close"));
  m_lblStatus->setText(QStringLiteral("Done"));
  m_lblInfo->setText(Began() + QStringLiteral("\nFinished: ") + FormatGeneralDate(m_finishTime));
  m_cmdButton[1]->setEnabled(false);
}

void frmEMRun::UpdateInfo() {
  std::int32_t iteration = 0;
  double criterion = 0.0;
  std::int16_t running = 0;
  if (m_engine.lGetIteration(&iteration, &criterion, &running) != 1) {
    m_lblInfo->setText(Began() + QStringLiteral("\nGet Iteration failed"));
    return;
  }
  const QString now = FormatGeneralDate(QDateTime::currentDateTime());
  if (m_runType == 2) {
    m_lblInfo->setText(Began() + QStringLiteral("\nIteration ") + QString::number(iteration) +
                       QStringLiteral("\n at ") + now);
  } else {
    m_lblInfo->setText(Began() + QStringLiteral("\nIteration ") + QString::number(iteration) +
                       QStringLiteral(",MAD= ") + FormatMad(criterion) + QStringLiteral("\n at ") +
                       now);
  }
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
      kovos::ResumeThread(m_worker);
      m_engine.lAbortRun();
    }
  } catch (const automation::AutomationError& error) {
    ShowAutomationError(this, error);
  }
}

}  // namespace kov::runhost
