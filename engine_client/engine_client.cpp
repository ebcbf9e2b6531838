#include "engine_client.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

namespace kov::client {

namespace {

constexpr const char* kLibraryName = "libkov.so";

std::string LoaderReason() {
  const char* reason = dlerror();
  return reason != nullptr ? std::string(reason) : std::string("no reason given");
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string LibraryIn(const std::string& folder) { return folder + "/" + kLibraryName; }

bool ExecutableFolder(std::string* folder, int* error) {
  // The link's length is not known in advance; grow until readlink leaves room to spare.
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      *error = errno;
      return false;
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      const std::string path(buffer.data(), static_cast<std::size_t>(length));
      const std::size_t slash = path.rfind('/');
      *folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string TrimField(const char* buffer, std::size_t length) {
  std::string_view text(buffer, length);
  text = text.substr(0, text.find('\0'));
  const std::size_t last = text.find_last_not_of(' ');
  return std::string(last == std::string_view::npos ? std::string_view()
                                                    : text.substr(0, last + 1));
}

EngineClient::EngineClient(std::string path) : m_path(std::move(path)) {}

BindResult EngineClient::Load() {
  if (m_handle != nullptr) return kBound;
  // A path with a slash: the loader opens exactly this file and never searches LD_LIBRARY_PATH
  // or its cache, so a program always drives the engine it was installed with.
  dlerror();
  m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle != nullptr) return kBound;
  const std::string reason = LoaderReason();
  m_failure = {FileExists(m_path) ? kLibraryRefused : kLibraryMissing, m_path, {}, reason};
  return m_failure.result;
}

template <typename Function>
bool EngineClient::Bind(Function* slot, const char* name) {
  if (*slot != nullptr) return true;
  if (Load() != kBound) return false;
  dlerror();
  void* symbol = dlsym(m_handle, name);
  if (symbol == nullptr) {
    m_failure = {kExportMissing, m_path, name, LoaderReason()};
    return false;
  }
  *slot = reinterpret_cast<Function>(symbol);
  return true;
}

template <typename Function, typename... Arguments>
Call EngineClient::Invoke(Function* slot, const char* name, Arguments... arguments) {
  if (!Bind(slot, name)) return {0, &m_failure};
  return {(*slot)(arguments...), nullptr};
}

Call EngineClient::RunKovEM(const char* path, std::int32_t pathLength) {
  return Invoke(&m_runKovEM, "lRunKovEM", path, pathLength);
}

Call EngineClient::RunKovDA(const char* path, std::int32_t pathLength) {
  return Invoke(&m_runKovDA, "lRunKovDA", path, pathLength);
}

Call EngineClient::GetIteration(std::int32_t* iteration, double* criterion, std::int16_t* running) {
  return Invoke(&m_getIteration, "lGetIteration", iteration, criterion, running);
}

Call EngineClient::GetKovError(char* buffer, std::int32_t bufferLength) {
  return Invoke(&m_getKovError, "lGetKovError", buffer, bufferLength);
}

Call EngineClient::AbortRun() { return Invoke(&m_abortRun, "lAbortRun"); }

Call EngineClient::CurrentlyRunning() { return Invoke(&m_currentlyRunning, "lCurrentlyRunning"); }

Call EngineClient::Clean() { return Invoke(&m_clean, "lClean"); }

Call EngineClient::SetStartOptions(std::int32_t starts, std::int32_t finalStarts,
                                   std::int32_t seed) {
  return Invoke(&m_setStartOptions, "lSetStartOptions", starts, finalStarts, seed);
}

Call EngineClient::SetEnumerateOptions(std::int32_t kind, std::int32_t from, std::int32_t to,
                                       std::int32_t bootstrap) {
  return Invoke(&m_setEnumerateOptions, "lSetEnumerateOptions", kind, from, to, bootstrap);
}

Call EngineClient::SetPosteriorFile(const char* path, std::int32_t pathLength,
                                    std::int16_t byPattern) {
  return Invoke(&m_setPosteriorFile, "lSetPosteriorFile", path, pathLength, byPattern);
}

Call EngineClient::Start(RunKind kind, const char* field) {
  return kind == RunKind::kEM ? RunKovEM(field, kControlPathBytes)
                              : RunKovDA(field, kControlPathBytes);
}

const BindFailure* EngineClient::Poll(Progress* progress) {
  std::int16_t running = 0;
  const Call call = GetIteration(&progress->iteration, &progress->criterion, &running);
  if (call.failure != nullptr) return call.failure;
  progress->result = call.value;
  progress->running = running != 0;
  return nullptr;
}

const BindFailure* EngineClient::ReadError(EngineError* error) {
  std::array<char, kErrorMessageBytes> buffer{};
  const Call call = GetKovError(buffer.data(), kErrorMessageBytes);
  if (call.failure != nullptr) return call.failure;
  error->code = call.value;
  error->message = TrimField(buffer.data(), buffer.size());
  return nullptr;
}

}  // namespace kov::client
