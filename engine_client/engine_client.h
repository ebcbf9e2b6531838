// libkov.so bound by path: each export looked up at its first call, every failure returned as a
// numbered result with the loader's reason, so that each program words it in its own way.
#pragma once

#include <cstdint>
#include <string>

#include "kov_exports.h"

namespace kov::client {

// Why an export could not be called. Appended to, never renumbered.
enum BindResult : std::int32_t {
  kBound = 0,
  kLibraryMissing = 1,  // no file where the library should be
  kLibraryRefused = 2,  // the file is there and the loader refused it
  kExportMissing = 3,   // the library lacks the function
};

struct BindFailure {
  BindResult result = kBound;
  std::string library;     // the library's path
  std::string exportName;  // with kExportMissing: the function
  std::string reason;      // the loader's words
};

// One call through the library: `value` is the export's result when `failure` is null; otherwise
// nothing was called and the failure says why.
struct Call {
  std::int32_t value = 0;
  const BindFailure* failure = nullptr;
};

enum class RunKind { kEM, kDataAugmentation };

// lGetIteration's answer in one piece.
struct Progress {
  std::int32_t result = 0;  // kProgressNoLibrary, kProgressBusy, 1 running, or the run's result
  std::int32_t iteration = 0;
  double criterion = 0.0;
  bool running = false;
};
inline constexpr std::int32_t kProgressNoLibrary = -3;  // the engine is not initialised
inline constexpr std::int32_t kProgressBusy = -2;       // the status lock was not had in time

// The engine's error record, its message without the padding of the fixed-length field.
struct EngineError {
  std::int32_t code = 0;
  std::string message;
};

// The engine library of one process. The exports are bound lazily: an engine that lacks an
// export this run never calls still runs. Not for use from two threads at once.
class EngineClient {
 public:
  // The library at `path`; nothing is loaded yet.
  explicit EngineClient(std::string path);
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;
  // The library stays loaded for the life of the process: a worker may still run in it, and the
  // engine runs one job per load, which loading it again would reset.
  ~EngineClient() = default;

  const std::string& Path() const { return m_path; }

  // Loads the library unless it is loaded: kBound, kLibraryMissing or kLibraryRefused.
  BindResult Load();
  // The last failure; its result is kBound while nothing has failed.
  const BindFailure& Failure() const { return m_failure; }

  // The exports, each loading the library and binding itself first.
  Call RunKovEM(const char* path, std::int32_t pathLength);
  Call RunKovDA(const char* path, std::int32_t pathLength);
  Call GetIteration(std::int32_t* iteration, double* criterion, std::int16_t* running);
  Call GetKovError(char* buffer, std::int32_t bufferLength);
  Call AbortRun();
  Call CurrentlyRunning();
  Call Clean();
  Call SetStartOptions(std::int32_t starts, std::int32_t finalStarts, std::int32_t seed);
  Call SetEnumerateOptions(std::int32_t kind, std::int32_t from, std::int32_t to,
                           std::int32_t bootstrap);
  Call SetPosteriorFile(const char* path, std::int32_t pathLength, std::int16_t byPattern);

  // A job and its polling in plain values. `field` is the 300-byte blank-padded control path.
  Call Start(RunKind kind, const char* field);
  const BindFailure* Poll(Progress* progress);
  const BindFailure* ReadError(EngineError* error);

 private:
  template <typename Function>
  bool Bind(Function* slot, const char* name);
  // Binds the export in *slot and calls it.
  template <typename Function, typename... Arguments>
  Call Invoke(Function* slot, const char* name, Arguments... arguments);

  std::string m_path;
  void* m_handle = nullptr;
  BindFailure m_failure;
  decltype(&::lRunKovEM) m_runKovEM = nullptr;
  decltype(&::lRunKovDA) m_runKovDA = nullptr;
  decltype(&::lGetIteration) m_getIteration = nullptr;
  decltype(&::lGetKovError) m_getKovError = nullptr;
  decltype(&::lAbortRun) m_abortRun = nullptr;
  decltype(&::lCurrentlyRunning) m_currentlyRunning = nullptr;
  decltype(&::lClean) m_clean = nullptr;
  decltype(&::lSetStartOptions) m_setStartOptions = nullptr;
  decltype(&::lSetEnumerateOptions) m_setEnumerateOptions = nullptr;
  decltype(&::lSetPosteriorFile) m_setPosteriorFile = nullptr;
};

// "<folder>/libkov.so".
std::string LibraryIn(const std::string& folder);

// The folder of the running program, from /proc/self/exe: the link resolved, so that a program
// started through a symbolic link (/usr/bin/kovrun -> /usr/lib/marnel/kovrun) finds the engine
// installed beside its real file. False with the errno in *error when the link cannot be read.
bool ExecutableFolder(std::string* folder, int* error);

// The engine's message field without its blank padding (or the zero bytes of no message).
std::string TrimField(const char* buffer, std::size_t length);

}  // namespace kov::client
