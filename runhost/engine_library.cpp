#include "engine_library.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "automation_error.h"

namespace kov::runhost {

using automation::AutomationError;

namespace {

constexpr char kLibraryName[] = "libkov.so";

QString LoaderReason() {
  const char* reason = dlerror();
  return reason != nullptr ? QString::fromLocal8Bit(reason) : QStringLiteral("no reason given");
}

}  // namespace

EngineLibrary::EngineLibrary(QString folder)
    : m_path(QDir(folder).filePath(QString::fromLatin1(kLibraryName))) {}

EngineLibrary& EngineLibrary::ForProcess() {
  static EngineLibrary engine(QCoreApplication::applicationDirPath());
  return engine;
}

void* EngineLibrary::Handle() {
  if (m_handle != nullptr) return m_handle;
  if (!QFileInfo::exists(m_path)) {
    throw AutomationError(automation::kErrorFileNotFound,
                          QStringLiteral("File not found: ") + m_path);
  }
  // A path with a slash: the loader opens exactly this file and never searches, so the run host
  // drives the engine it was installed with.
  dlerror();
  m_handle = dlopen(QFile::encodeName(m_path).constData(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    throw AutomationError(automation::kErrorCannotLoadLibrary,
                          QStringLiteral("Error in loading DLL %1: %2").arg(m_path, LoaderReason()));
  }
  return m_handle;
}

template <typename Function>
Function EngineLibrary::Bind(Function* slot, const char* name) {
  if (*slot == nullptr) {
    void* library = Handle();
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
      throw AutomationError(automation::kErrorEntryPointNotFound,
                            QStringLiteral("Can't find DLL entry point %1 in %2")
                                .arg(QString::fromLatin1(name), m_path));
    }
    *slot = reinterpret_cast<Function>(symbol);
  }
  return *slot;
}

std::int32_t EngineLibrary::lRunKovEM(const char* path, std::int32_t pathLength) {
  return Bind(&m_runKovEM, "lRunKovEM")(path, pathLength);
}

std::int32_t EngineLibrary::lRunKovDA(const char* path, std::int32_t pathLength) {
  return Bind(&m_runKovDA, "lRunKovDA")(path, pathLength);
}

std::int32_t EngineLibrary::lGetIteration(std::int32_t* iteration, double* criterion,
                                          std::int16_t* running) {
  return Bind(&m_getIteration, "lGetIteration")(iteration, criterion, running);
}

std::int32_t EngineLibrary::lGetKovError(char* buffer, std::int32_t bufferLength) {
  return Bind(&m_getKovError, "lGetKovError")(buffer, bufferLength);
}

std::int32_t EngineLibrary::lAbortRun() { return Bind(&m_abortRun, "lAbortRun")(); }

std::int32_t EngineLibrary::lCurrentlyRunning() {
  return Bind(&m_currentlyRunning, "lCurrentlyRunning")();
}

std::int32_t EngineLibrary::lClean() { return Bind(&m_clean, "lClean")(); }

}  // namespace kov::runhost
