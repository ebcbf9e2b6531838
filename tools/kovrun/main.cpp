// kovrun: runs one EM or data-augmentation job of the engine in a terminal.
//
// It drives libkov.so exactly as the run host does: the library is loaded by name from the
// program's own folder, the engine is asked to start a suspended worker, which kovrun resumes
// at normal priority and waits on in short steps while it polls and shows the progress.

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "engine_library.h"
#include "iteration_limit.h"
#include "kovos.h"
#include "progress_display.h"

namespace {

volatile std::sig_atomic_t g_interruptRequested = 0;

extern "C" void OnInterrupt(int) { g_interruptRequested = 1; }

}  // namespace

namespace kovrun {

namespace {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitRunFailed = 1,
  kExitUsage = 2,
  kExitEngineUnavailable = 3,
  kExitRefused = 4,
  // What a shell reports for a program ended by Ctrl-C; here the run ended in order.
  kExitAborted = 130,
};

// Short enough that Ctrl-C is answered at once, long enough to cost nothing.
constexpr std::uint32_t kWaitStepMs = 250;
constexpr int kFinalPollTries = 3;

// The engine's own limit of MARNEL_THREADS.
constexpr std::int32_t kMaxThreads = 256;

// The engine's limits of the random start settings.
constexpr std::int32_t kMaxStarts = 10000;
constexpr std::int32_t kMaxSeed = 2147483647;

constexpr std::string_view kUsage =
    "usage: kovrun [--em | --da] [--threads N] [--starts N] [--final K] [--seed S] FILE.cnt\n";
constexpr std::string_view kHelp =
    "Runs one job of the Marnel engine (libkov.so beside this program) on a control file.\n"
    "\n"
    "  --em        estimate by EM (the default)\n"
    "  --da        run data augmentation\n"
    "  --threads N estimate on N threads (1 to 256; default: the processors this process\n"
    "              may use, or MARNEL_THREADS when it is set); the results are the same\n"
    "              for any number\n"
    "  --starts N  estimate from N random starts (1 to 10000), the control file's start\n"
    "              values counting as the first; replaces the file's setting for this run\n"
    "  --final K   run the best K starts of the first stage to convergence (1 to 10000)\n"
    "  --seed S    draw the random starts from seed S (0 to 2147483647)\n"
    "              Any of the three turns random starts on, the others taking the file's\n"
    "              settings or their defaults; they apply to EM runs only\n"
    "  --help      show this text\n"
    "\n"
    "Progress goes to standard error. Ctrl-C asks the engine to stop after the current\n"
    "iteration; the report is then completed as usual. A second Ctrl-C ends kovrun at once.\n"
    "\n"
    "Exit status: 0 the run finished; 1 the engine reported an error or the run did not\n"
    "finish; 2 bad arguments; 3 the engine library cannot be used; 4 the engine refused the\n"
    "job; 130 the run was stopped by Ctrl-C.\n";

// Nothing is left to tell anyone when standard error itself fails, so its writes are
// checked only to stop trying.
void WriteError(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stderr) == text.size()) std::fflush(stderr);
}

void Complain(std::string_view text) {
  std::string line = "kovrun: ";
  line.append(text);
  line += '\n';
  WriteError(line);
}

std::string Decimal(std::int64_t value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

// The engine's message field: blank-padded (or all zero bytes before any error).
std::string TrimMessage(const char* buffer, std::size_t length) {
  std::string_view text(buffer, length);
  text = text.substr(0, text.find('\0'));
  const std::size_t last = text.find_last_not_of(' ');
  return std::string(last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1));
}

struct Arguments {
  RunKind kind = RunKind::kEM;
  std::string controlFile;
  std::optional<std::int32_t> threads;
  // Random start settings for the engine; -1 keeps the control file's.
  std::int32_t starts = -1;
  std::int32_t finalStarts = -1;
  std::int32_t seed = -1;
  bool help = false;
};

std::optional<Arguments> ParseArguments(int argc, char** argv) {
  Arguments arguments;
  bool em = false, da = false;
  std::int32_t threads = 0;
  CLI::App app("kovrun");
  // Our own help text, not the library's.
  app.set_help_flag();
  app.add_flag("-h,--help", arguments.help);
  CLI::Option* emOption = app.add_flag("--em", em);
  CLI::Option* daOption = app.add_flag("--da", da);
  emOption->excludes(daOption);
  CLI::Option* threadsOption =
      app.add_option("--threads", threads)->check(CLI::Range(1, kMaxThreads));
  CLI::Option* startsOption =
      app.add_option("--starts", arguments.starts)->check(CLI::Range(1, kMaxStarts));
  CLI::Option* finalOption =
      app.add_option("--final", arguments.finalStarts)->check(CLI::Range(1, kMaxStarts));
  CLI::Option* seedOption =
      app.add_option("--seed", arguments.seed)->check(CLI::Range(0, kMaxSeed));
  for (CLI::Option* option : {startsOption, finalOption, seedOption}) option->excludes(daOption);
  app.add_option("FILE", arguments.controlFile);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    Complain(error.what());
    return std::nullopt;
  }
  if (arguments.help) return arguments;
  if (arguments.controlFile.empty()) {
    Complain("no control file given");
    return std::nullopt;
  }
  if (da) arguments.kind = RunKind::kDataAugmentation;
  if (threadsOption->count() > 0) arguments.threads = threads;
  return arguments;
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // The first Ctrl-C asks for an orderly stop; the handler then falls back to the default,
  // so a second one ends the program at once if the engine does not come back.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  // A reader that goes away (kovrun ... 2>&1 | head) must not end the run.
  std::signal(SIGPIPE, SIG_IGN);
}

// lGetIteration's result after the worker has ended; -2 means the status lock was not had
// in time, which is worth another try now that nobody else holds it for long.
std::int32_t FinalPoll(EngineLibrary& engine, ProgressDisplay& display, std::int32_t* iteration) {
  std::int32_t result = -2;
  for (int attempt = 0; attempt < kFinalPollTries && result == -2; ++attempt) {
    double criterion = 0.0;
    std::int16_t running = 0;
    result = engine.GetIteration(iteration, &criterion, &running);
    if (result != -2 && result != -3) display.Show(*iteration, criterion);
  }
  return result;
}

int RunJob(const Arguments& arguments) {
  if (arguments.controlFile.size() > static_cast<std::size_t>(kControlPathBytes)) {
    Complain("the control file path is " + Decimal(static_cast<std::int64_t>(
                                                arguments.controlFile.size())) +
             " bytes long; the engine takes at most " + Decimal(kControlPathBytes));
    return kExitUsage;
  }
  std::array<char, kControlPathBytes> path;
  path.fill(' ');
  arguments.controlFile.copy(path.data(), path.size());

  // The engine reads its thread count from the environment when a run starts.
  if (arguments.threads && setenv("MARNEL_THREADS", Decimal(*arguments.threads).c_str(), 1) != 0) {
    Complain("could not set the thread count");
    return kExitRunFailed;
  }
  EngineLibrary engine;
  engine.Load(ExecutableFolder());

  if (engine.CurrentlyRunning() != 0) {
    Complain("another Kov run is currently executing in this process; the job was not started");
    return kExitRefused;
  }
  if (engine.Clean() != 1) {
    Complain("the engine has already run a job in this process and takes one job per load; "
             "the job was not started");
    return kExitRefused;
  }

  const bool startOptions =
      arguments.starts >= 0 || arguments.finalStarts >= 0 || arguments.seed >= 0;
  if (startOptions &&
      engine.SetStartOptions(arguments.starts, arguments.finalStarts, arguments.seed) != 1) {
    Complain("the engine refused the random start settings; the job was not started");
    return kExitRefused;
  }

  // Read before the worker exists, so that the only file kovrun itself opens is closed again
  // before the engine opens it.
  const std::optional<std::int64_t> limit =
      ReadIterationLimit(arguments.controlFile, arguments.kind);
  InstallSignalHandlers();

  const kovos::Handle worker = arguments.kind == RunKind::kEM
                                   ? engine.RunKovEM(path.data(), kControlPathBytes)
                                   : engine.RunKovDA(path.data(), kControlPathBytes);
  std::array<char, kErrorMessageBytes> message{};
  if (worker == 0) {
    const std::int32_t code = engine.GetKovError(message.data(), kErrorMessageBytes);
    Complain("the engine could not start its worker thread (error " + Decimal(code) + ": " +
             TrimMessage(message.data(), message.size()) + ")");
    return kExitRunFailed;
  }

  if (!kovos::SetThreadPriority(worker, kovos::Priority::kNormal)) {
    Complain("could not set the worker's priority; running at the priority it has");
  }
  if (!kovos::ResumeThread(worker)) {
    Complain("could not resume the engine's worker thread (handle " + Decimal(worker) + ")");
    kovos::CloseHandle(worker);
    return kExitRunFailed;
  }

  ProgressDisplay display(stderr, isatty(STDERR_FILENO) == 1, limit);
  bool abortRequested = false;
  for (;;) {
    if (g_interruptRequested != 0 && !abortRequested && engine.AbortRun() != 0) {
      // A refused request (the status lock was busy) is simply made again next pass.
      abortRequested = true;
      display.EndLine();
      WriteError("Abort requested\n");
    }
    std::int32_t iteration = 0;
    double criterion = 0.0;
    std::int16_t running = 0;
    if (engine.GetIteration(&iteration, &criterion, &running) == 1) {
      display.Show(iteration, criterion);
    }
    const std::int32_t wait = kovos::WaitForHandle(worker, kWaitStepMs);
    if (wait == kovos::kWaitSignalled) break;
    if (wait == kovos::kWaitTimeout || kovos::LastError() == EINTR) continue;
    const int error = kovos::LastError();
    display.EndLine();
    Complain("waiting for the engine's worker failed (errno " + Decimal(error) + ": " +
             std::strerror(error) + ")");
    // The worker may still be inside the library: leave without running its destructors.
    std::_Exit(kExitRunFailed);
  }

  std::int32_t iteration = 0;
  const std::int32_t result = FinalPoll(engine, display, &iteration);
  display.EndLine();
  const std::int32_t code = engine.GetKovError(message.data(), kErrorMessageBytes);
  kovos::CloseHandle(worker);

  if (code != 0) {
    WriteError("Engine error " + Decimal(code) + ": " +
               TrimMessage(message.data(), message.size()) + "\n");
    return kExitRunFailed;
  }
  if (result != 1) {
    Complain(result == -2 || result == -3
                 ? "could not read the run's result from the engine"
                 : "the run ended with result " + Decimal(result) +
                       " and no error message; see its output file");
    return kExitRunFailed;
  }
  if (abortRequested) {
    WriteError("Run aborted after iteration " + Decimal(iteration) + "\n");
    return kExitAborted;
  }
  WriteError("Run finished\n");
  return kExitSuccess;
}

}  // namespace

}  // namespace kovrun

int main(int argc, char** argv) {
  const std::optional<kovrun::Arguments> arguments = kovrun::ParseArguments(argc, argv);
  if (!arguments) {
    kovrun::WriteError(kovrun::kUsage);
    return kovrun::kExitUsage;
  }
  if (arguments->help) {
    const std::string text = std::string(kovrun::kUsage) + "\n" + std::string(kovrun::kHelp);
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                         std::fflush(stdout) == 0;
    return written ? kovrun::kExitSuccess : kovrun::kExitRunFailed;
  }
  try {
    return kovrun::RunJob(*arguments);
  } catch (const kovrun::EngineLoadError& error) {
    kovrun::Complain(error.what());
    // The library may have a worker of ours running inside it; do not unload anything.
    std::fflush(stderr);
    std::_Exit(kovrun::kExitEngineUnavailable);
  }
}
