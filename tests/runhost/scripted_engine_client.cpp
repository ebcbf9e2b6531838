#include <dlfcn.h>

#include <QFile>

#include <stdexcept>

#include "scripted_engine.h"

namespace kov::runhost::test {

namespace {

template <typename Function>
Function Find(void* handle, const char* name) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) throw std::runtime_error(std::string("scripted engine lacks ") + name);
  return reinterpret_cast<Function>(symbol);
}

}  // namespace

ScriptedEngine::ScriptedEngine(const QString& path)
    : m_handle(dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL)) {
  if (m_handle == nullptr) throw std::runtime_error(std::string("cannot load ") + dlerror());
}

void ScriptedEngine::Reset() { Find<void (*)()>(m_handle, "ScriptedEngineReset")(); }

void ScriptedEngine::FailStart(std::int32_t code, const std::string& message) {
  Find<void (*)(std::int32_t, const char*)>(m_handle, "ScriptedEngineFailStart")(code, message.c_str());
}

void ScriptedEngine::EndAtOnce() { Find<void (*)()>(m_handle, "ScriptedEngineEndAtOnce")(); }

void ScriptedEngine::FailRun(std::int32_t code, const std::string& message) {
  Find<void (*)(std::int32_t, const char*)>(m_handle, "ScriptedEngineFailRun")(code, message.c_str());
}

void ScriptedEngine::Publish(std::int32_t iteration, double criterion) {
  Find<void (*)(std::int32_t, double)>(m_handle, "ScriptedEnginePublish")(iteration, criterion);
}

void ScriptedEngine::FailPolls(bool fail) {
  Find<void (*)(bool)>(m_handle, "ScriptedEngineFailPolls")(fail);
}

ScriptedObservation ScriptedEngine::Observation() const {
  ScriptedObservation observed;
  Find<void (*)(ScriptedObservation*)>(m_handle, "ScriptedEngineObservation")(&observed);
  return observed;
}

}  // namespace kov::runhost::test
