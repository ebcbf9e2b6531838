#include "engine_library.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "automation_error.h"

namespace kov::runhost {

using automation::AutomationError;

EngineLibrary::EngineLibrary(QString folder)
    : m_path(QDir(folder).filePath(QStringLiteral("libkov.so"))),
      m_client(QFile::encodeName(m_path).toStdString()) {}

EngineLibrary& EngineLibrary::ForProcess() {
  // The program's real file, its links resolved: /usr/bin/kovexec may point into the folder
  // that holds the engine.
  static EngineLibrary engine([] {
    std::string folder;
    int error = 0;
    return client::ExecutableFolder(&folder, &error) ? QFile::decodeName(folder.c_str())
                                                     : QCoreApplication::applicationDirPath();
  }());
  return engine;
}

std::int32_t EngineLibrary::Value(const client::Call& call) const {
  if (call.failure == nullptr) return call.value;
  const client::BindFailure& failure = *call.failure;
  switch (failure.result) {
    case client::kLibraryMissing:
      throw AutomationError(automation::kErrorFileNotFound,
                            QStringLiteral("File not found: ") + m_path);
    case client::kExportMissing:
      throw AutomationError(automation::kErrorEntryPointNotFound,
                            QStringLiteral("Can't find DLL entry point %1 in %2")
                                .arg(QString::fromStdString(failure.exportName), m_path));
    default:
      throw AutomationError(automation::kErrorCannotLoadLibrary,
                            QStringLiteral("Error in loading DLL %1: %2")
                                .arg(m_path, QString::fromLocal8Bit(failure.reason.c_str())));
  }
}

std::int32_t EngineLibrary::lRunKovEM(const char* path, std::int32_t pathLength) {
  return Value(m_client.RunKovEM(path, pathLength));
}

std::int32_t EngineLibrary::lRunKovDA(const char* path, std::int32_t pathLength) {
  return Value(m_client.RunKovDA(path, pathLength));
}

std::int32_t EngineLibrary::lGetIteration(std::int32_t* iteration, double* criterion,
                                          std::int16_t* running) {
  return Value(m_client.GetIteration(iteration, criterion, running));
}

std::int32_t EngineLibrary::lGetKovError(char* buffer, std::int32_t bufferLength) {
  return Value(m_client.GetKovError(buffer, bufferLength));
}

std::int32_t EngineLibrary::lAbortRun() { return Value(m_client.AbortRun()); }

std::int32_t EngineLibrary::lCurrentlyRunning() { return Value(m_client.CurrentlyRunning()); }

std::int32_t EngineLibrary::lClean() { return Value(m_client.Clean()); }

}  // namespace kov::runhost
