#include "engine_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kovrun {

namespace {

constexpr const char* kLibraryName = "libkov.so";

std::string LoaderReason() {
  const char* reason = dlerror();
  return reason != nullptr ? std::string(reason) : std::string("no reason given");
}

}  // namespace

std::string ExecutableFolder() {
  // The link's length is not known in advance; grow until readlink leaves room to spare.
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      throw EngineLoadError(std::string("Cannot find kovrun's own folder (/proc/self/exe): ") +
                            std::strerror(errno));
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      const std::size_t slash = path.rfind('/');
      return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

void EngineLibrary::Load(const std::string& folder) {
  m_path = folder + "/" + kLibraryName;
  // A path with a slash: the loader opens exactly this file and never searches
  // LD_LIBRARY_PATH or the cache, so kovrun always drives the engine it was installed with.
  dlerror();
  m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    throw EngineLoadError("Cannot load the engine library " + m_path + ": " + LoaderReason());
  }
}

template <typename Function>
Function EngineLibrary::Bind(Function* slot, const char* name) {
  if (*slot == nullptr) {
    if (m_handle == nullptr) {
      throw EngineLoadError(std::string("The engine library is not loaded; cannot call ") + name);
    }
    dlerror();
    void* symbol = dlsym(m_handle, name);
    if (symbol == nullptr) {
      throw EngineLoadError("The engine library " + m_path + " has no function " + name + ": " +
                            LoaderReason());
    }
    *slot = reinterpret_cast<Function>(symbol);
  }
  return *slot;
}

std::int32_t EngineLibrary::RunKovEM(const char* path, std::int32_t pathLength) {
  return Bind(&m_runKovEM, "lRunKovEM")(path, pathLength);
}

std::int32_t EngineLibrary::RunKovDA(const char* path, std::int32_t pathLength) {
  return Bind(&m_runKovDA, "lRunKovDA")(path, pathLength);
}

std::int32_t EngineLibrary::GetIteration(std::int32_t* iteration, double* criterion,
                                         std::int16_t* running) {
  return Bind(&m_getIteration, "lGetIteration")(iteration, criterion, running);
}

std::int32_t EngineLibrary::GetKovError(char* buffer, std::int32_t bufferLength) {
  return Bind(&m_getKovError, "lGetKovError")(buffer, bufferLength);
}

std::int32_t EngineLibrary::AbortRun() { return Bind(&m_abortRun, "lAbortRun")(); }

std::int32_t EngineLibrary::CurrentlyRunning() {
  return Bind(&m_currentlyRunning, "lCurrentlyRunning")();
}

std::int32_t EngineLibrary::Clean() { return Bind(&m_clean, "lClean")(); }

std::int32_t EngineLibrary::SetStartOptions(std::int32_t starts, std::int32_t finalStarts,
                                            std::int32_t seed) {
  return Bind(&m_setStartOptions, "lSetStartOptions")(starts, finalStarts, seed);
}

}  // namespace kovrun
