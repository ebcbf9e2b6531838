#include "kov_mod.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#include "automation_error.h"
#include "file_access.h"
#include "kov_shell.h"
#include "process_lifetime.h"
#include "run_type.h"
#include "server_connection.h"
#include "server_registry.h"

namespace kov::runhost {

namespace {

bool IsBlank(QChar character) { return character == QLatin1Char(' '); }

QString TrimBlanks(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.mid(first, last - first);
}

// A switch starts here: a "/" at the start of a word, one character, then a blank or the end.
// Requiring the blank keeps the slashes of a file name ("/home/ann/b.cnt") inside the file.
bool SwitchAt(const QString& text, qsizetype at) {
  return text[at] == QLatin1Char('/') && (at == 0 || IsBlank(text[at - 1])) &&
         at + 1 < text.size() && !IsBlank(text[at + 1]) &&
         (at + 2 == text.size() || IsBlank(text[at + 2]));
}

// Compares a start-up argument like the automation system does: "-" or "/", any case.
bool IsOption(const QString& argument, const QString& name) {
  return (argument.startsWith(QLatin1Char('-')) || argument.startsWith(QLatin1Char('/'))) &&
         argument.mid(1).compare(name, Qt::CaseInsensitive) == 0;
}

void Complain(const QString& text) {
  const QByteArray line = QStringLiteral("kovexec: %1\n").arg(text).toLocal8Bit();
  // Nothing is left to tell anyone when standard error fails.
  if (std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr) ==
      static_cast<std::size_t>(line.size())) {
    std::fflush(stderr);
  }
}

// Runs the event loop until nothing keeps the process, unless nothing does already.
int ServeUntilIdle(ProcessLifetime& lifetime) {
  if (lifetime.Idle()) return 0;
  QObject::connect(&lifetime, &ProcessLifetime::BecameIdle, &lifetime, [&lifetime] {
    QMetaObject::invokeMethod(
        &lifetime,
        [&lifetime] {
          // Something may have been loaded again since.
          if (lifetime.Idle()) QCoreApplication::quit();
        },
        Qt::QueuedConnection);
  });
  return QCoreApplication::exec();
}

}  // namespace

gui::MessageAnswer BatchMessageSink::Show(QWidget* parent, const gui::Message& message) {
  if (!gbBatch) return m_interactive.Show(parent, message);
  m_reported = true;
  Complain(message.text);
  return message.buttons == gui::MessageButtons::kYesNo ||
                 message.buttons == gui::MessageButtons::kYesNoCancel
             ? gui::MessageAnswer::kYes
             : gui::MessageAnswer::kOk;
}

QStringList ParseCommandLine(const QString& text) {
  QStringList tokens;
  const auto add = [&tokens](const QString& token) {
    const QString trimmed = TrimBlanks(token);
    if (!trimmed.isEmpty()) tokens << trimmed;
  };
  qsizetype position = 0;
  while (position < text.size()) {
    if (SwitchAt(text, position)) {
      add(text.mid(position, 2));
      position += 2;
      continue;
    }
    qsizetype next = position + 1;
    while (next < text.size() && !SwitchAt(text, next)) ++next;
    add(text.mid(position, next - position));
    position = next;
  }
  return tokens;
}

StartMode DecideStartMode(const QStringList& arguments) {
  if (TrimBlanks(arguments.join(QLatin1Char(' '))).isEmpty()) return StartMode::kNothingToServe;
  const QString& first = arguments.front();
  if (IsOption(first, QStringLiteral("Embedding"))) return StartMode::kEmbedding;
  if (IsOption(first, QStringLiteral("RegServer"))) return StartMode::kRegisterServer;
  if (IsOption(first, QStringLiteral("UnregServer"))) return StartMode::kUnregisterServer;
  return StartMode::kCommandLine;
}

void HandleCommandLine(
    const QString& text,
    const std::function<std::shared_ptr<automation::KovShellInterface>()>& createObject) {
  RunType runType = RunType::kEm;
  // Every run moves the process into its control file's folder, so names typed on the command
  // line are taken against the folder the program was started in, once for all of them.
  const QDir startFolder = QDir::current();
  for (const QString& token : ParseCommandLine(text)) {
    const QString upper = token.toUpper();
    if (upper == QLatin1String("/D")) {
      runType = RunType::kDa;
    } else if (upper == QLatin1String("/B")) {
      gbBatch = true;
    } else if (upper == QLatin1String("/N")) {
      // Accepted for the callers that always pass it.
    } else if (const QString controlFile = QDir::cleanPath(startFolder.absoluteFilePath(token));
               FileAccessible(controlFile)) {
      try {
        createObject()->lRunKov(RunTypeCode(runType), controlFile,
                                QFileInfo(controlFile).absolutePath(), std::nullopt);
      } catch (const automation::AutomationError& error) {
        ShowAutomationError(nullptr, error);
        return;
      }
    }
  }
}

int Main(const QStringList& arguments, EngineLibrary& engine) {
  ProcessLifetime lifetime;
  BatchMessageSink messages;
  const gui::ScopedMessageSink messagesGuard(messages);
  const auto exitStatus = [&messages](int status) { return messages.Reported() ? 1 : status; };
  switch (DecideStartMode(arguments)) {
    case StartMode::kNothingToServe:
      // Nobody knows how to reach a server that no client started.
      return 0;
    case StartMode::kRegisterServer:
      if (automation::RegisterServer(automation::kKovShellProgId,
                                     QCoreApplication::applicationFilePath())) {
        return 0;
      }
      Complain(QStringLiteral("the registration of %1 could not be saved").arg(automation::kKovShellProgId));
      return 1;
    case StartMode::kUnregisterServer:
      if (automation::UnregisterServer(automation::kKovShellProgId)) return 0;
      Complain(QStringLiteral("the registration of %1 could not be removed").arg(automation::kKovShellProgId));
      return 1;
    case StartMode::kEmbedding: {
      const QString socketName = arguments.value(1);
      // "-Embedding" alone names no client to serve.
      if (socketName.isEmpty()) return 0;
      automation::ServerConnection connection(KovShell::Create(engine, lifetime));
      QString reason;
      if (!connection.Connect(socketName, &reason)) {
        Complain(QStringLiteral("cannot reach the client at %1: %2").arg(socketName, reason));
        return 1;
      }
      return exitStatus(ServeUntilIdle(lifetime));
    }
    case StartMode::kCommandLine:
      HandleCommandLine(arguments.join(QLatin1Char(' ')),
                        [&] { return KovShell::Create(engine, lifetime); });
      return exitStatus(ServeUntilIdle(lifetime));
  }
  return 0;
}

}  // namespace kov::runhost
