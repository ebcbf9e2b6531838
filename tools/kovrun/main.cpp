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
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "control_head.h"
#include "engine_client.h"
#include "kovos.h"
#include "marnel_version.h"
#include "progress_display.h"

namespace {

volatile std::sig_atomic_t g_interruptRequested = 0;

extern "C" void OnInterrupt(int) { g_interruptRequested = 1; }

}  // namespace

namespace kovrun {

using kov::client::EngineClient;
using kov::client::RunKind;

// The engine library or one of its exports cannot be had; what() says which and why.
class EngineLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
// The engine's limits of an enumeration.
constexpr std::int32_t kMaxEnumeratedSize = 50;
constexpr std::int32_t kMaxBootstrap = 10000;

constexpr std::string_view kUsage =
    "usage: kovrun [--em | --da] [--threads N] [--starts N] [--final K] [--seed S]\n"
    "              [--posterior FILE.csv [--by-pattern]]\n"
    "              [--enumerate classes:A-B|statuses:A-B [--bootstrap B]] FILE.cnt\n";
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
    "  --enumerate classes:A-B  fit the file's model with A to B classes (or\n"
    "              statuses:A-B), each from random starts (20 unless set); writes X.k<size>.out,\n"
    "              X.k<size>.json and X.compare.json / X.compare.csv (X: the report name\n"
    "              without .out); ties across classes or occasions carry over\n"
    "  --bootstrap B  with --enumerate: test each size against the one below it by a\n"
    "              parametric bootstrap likelihood-ratio test of B samples (1 to 10000)\n"
    "  --posterior FILE.csv  write each record's posterior class and status probabilities,\n"
    "              modal values and most likely path to FILE.csv (EM runs only); replaces\n"
    "              the control file's POSTERIOR line for this run\n"
    "  --by-pattern  with --posterior: one row per distinct response pattern\n"
    "  --help      show this text\n"
    "  --version   show kovrun's version\n"
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
  // The posterior membership file for the engine (empty: the control file's).
  std::string posteriorFile;
  bool byPattern = false;
  // The enumeration: kind 0 none, 1 classes, 2 statuses; sizes from..to; bootstrap samples.
  std::int32_t enumerateKind = 0;
  std::int32_t enumerateFrom = 0;
  std::int32_t enumerateTo = 0;
  std::int32_t bootstrap = 0;
  bool help = false;
  std::string versionText;  // set by --version: the line to print instead of running
};

// "classes:A-B" or "statuses:A-B" with 1 <= A <= B <= kMaxEnumeratedSize; false otherwise.
bool ParseEnumeration(const std::string& text, std::int32_t* kind, std::int32_t* from,
                      std::int32_t* to) {
  const std::size_t colon = text.find(':');
  const std::size_t dash = text.find('-', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || dash == std::string::npos) return false;
  const std::string name = text.substr(0, colon);
  *kind = name == "classes" ? 1 : name == "statuses" ? 2 : 0;
  const auto number = [](std::string_view digits, std::int32_t* value) {
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
    return result.ec == std::errc() && result.ptr == digits.data() + digits.size();
  };
  const std::string_view view(text);
  return *kind != 0 && number(view.substr(colon + 1, dash - colon - 1), from) &&
         number(view.substr(dash + 1), to) && *from >= 1 && *from <= *to &&
         *to <= kMaxEnumeratedSize;
}

CLI::Validator EnumerationRange() {
  return CLI::Validator(
      [](std::string& text) {
        std::int32_t kind = 0, from = 0, to = 0;
        return ParseEnumeration(text, &kind, &from, &to)
                   ? std::string()
                   : "expected classes:A-B or statuses:A-B with 1 <= A <= B <= " +
                         Decimal(kMaxEnumeratedSize);
      },
      "classes:A-B|statuses:A-B");
}

std::optional<Arguments> ParseArguments(int argc, char** argv) {
  Arguments arguments;
  bool em = false, da = false;
  std::int32_t threads = 0;
  CLI::App app("kovrun");
  // Our own help text, not the library's.
  app.set_help_flag();
  app.add_flag("-h,--help", arguments.help);
  app.set_version_flag("--version", "kovrun " MARNEL_VERSION);
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
  CLI::Option* posteriorOption = app.add_option("--posterior", arguments.posteriorFile);
  posteriorOption->excludes(daOption);
  app.add_flag("--by-pattern", arguments.byPattern)->needs(posteriorOption);
  std::string enumerate;
  CLI::Option* enumerateOption =
      app.add_option("--enumerate", enumerate)->check(EnumerationRange())->excludes(daOption);
  app.add_option("--bootstrap", arguments.bootstrap)
      ->check(CLI::Range(1, kMaxBootstrap))
      ->needs(enumerateOption);
  app.add_option("FILE", arguments.controlFile);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForVersion& version) {
    arguments.versionText = std::string(version.what()) + "\n";
    return arguments;
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
  if (!enumerate.empty()) {
    ParseEnumeration(enumerate, &arguments.enumerateKind, &arguments.enumerateFrom,
                     &arguments.enumerateTo);
  }
  if (threadsOption->count() > 0) arguments.threads = threads;
  return arguments;
}

// The posterior file's name made absolute against this folder: the engine would take a
// relative name in the control file's folder.
std::string AbsoluteName(const std::string& name) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(name, error);
  return error ? name : full.lexically_normal().string();
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

// The engine beside kovrun's own file. Throws EngineLoadError.
std::string OwnEnginePath() {
  std::string folder;
  int error = 0;
  if (!kov::client::ExecutableFolder(&folder, &error)) {
    throw EngineLoadError(std::string("Cannot find kovrun's own folder (/proc/self/exe): ") +
                          std::strerror(error));
  }
  return kov::client::LibraryIn(folder);
}

std::string Describe(const kov::client::BindFailure& failure) {
  if (failure.result == kov::client::kExportMissing) {
    return "The engine library " + failure.library + " has no function " + failure.exportName +
           ": " + failure.reason;
  }
  return "Cannot load the engine library " + failure.library + ": " + failure.reason;
}

// The export's result; a library or export that cannot be had ends the job. Throws
// EngineLoadError.
std::int32_t Need(const kov::client::Call& call) {
  if (call.failure != nullptr) throw EngineLoadError(Describe(*call.failure));
  return call.value;
}

// lGetIteration's result after the worker has ended; -2 means the status lock was not had
// in time, which is worth another try now that nobody else holds it for long.
std::int32_t FinalPoll(EngineClient& engine, ProgressDisplay& display, std::int32_t* iteration) {
  std::int32_t result = -2;
  for (int attempt = 0; attempt < kFinalPollTries && result == -2; ++attempt) {
    double criterion = 0.0;
    std::int16_t running = 0;
    result = Need(engine.GetIteration(iteration, &criterion, &running));
    if (result != -2 && result != -3) display.Show(*iteration, criterion);
  }
  return result;
}

// Names written in a control file without a folder mean the files beside it, as in a run from
// the editor or the run host: the run works in the control file's folder and hands the engine
// the name there. A control file that is not there keeps the name as typed, which the engine's
// message then quotes.
void EnterControlFolder(std::string* controlFile) {
  std::error_code error;
  const std::filesystem::path full =
      std::filesystem::absolute(*controlFile, error).lexically_normal();
  if (error || !full.has_filename() || !std::filesystem::is_regular_file(full, error)) return;
  std::filesystem::current_path(full.parent_path(), error);
  if (!error) *controlFile = full.filename().string();
}

int RunJob(Arguments arguments) {
  // Options that name files keep the meaning they had in the folder kovrun was started in.
  if (!arguments.posteriorFile.empty()) {
    arguments.posteriorFile = AbsoluteName(arguments.posteriorFile);
  }
  EnterControlFolder(&arguments.controlFile);
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
  EngineClient engine(OwnEnginePath());
  if (engine.Load() != kov::client::kBound) throw EngineLoadError(Describe(engine.Failure()));

  if (Need(engine.CurrentlyRunning()) != 0) {
    Complain("another Kov run is currently executing in this process; the job was not started");
    return kExitRefused;
  }
  if (Need(engine.Clean()) != 1) {
    Complain("the engine has already run a job in this process and takes one job per load; "
             "the job was not started");
    return kExitRefused;
  }

  const bool startOptions =
      arguments.starts >= 0 || arguments.finalStarts >= 0 || arguments.seed >= 0;
  if (startOptions &&
      Need(engine.SetStartOptions(arguments.starts, arguments.finalStarts, arguments.seed)) != 1) {
    Complain("the engine refused the random start settings; the job was not started");
    return kExitRefused;
  }

  if (arguments.enumerateKind != 0 &&
      Need(engine.SetEnumerateOptions(arguments.enumerateKind, arguments.enumerateFrom,
                                      arguments.enumerateTo, arguments.bootstrap)) != 1) {
    Complain("the engine refused the enumeration settings; the job was not started");
    return kExitRefused;
  }

  if (!arguments.posteriorFile.empty()) {
    const std::string& name = arguments.posteriorFile;
    if (name.size() > static_cast<std::size_t>(kControlPathBytes)) {
      Complain("the posterior file path is " + Decimal(static_cast<std::int64_t>(name.size())) +
               " bytes long; the engine takes at most " + Decimal(kControlPathBytes));
      return kExitUsage;
    }
    std::array<char, kControlPathBytes> field;
    field.fill(' ');
    name.copy(field.data(), field.size());
    if (Need(engine.SetPosteriorFile(field.data(), kControlPathBytes,
                                     arguments.byPattern ? -1 : 0)) != 1) {
      Complain("the engine refused the posterior membership file; the job was not started");
      return kExitRefused;
    }
  }

  // Read before the worker exists, so that the only file kovrun itself opens is closed again
  // before the engine opens it.
  const std::optional<std::int64_t> limit =
      kov::client::ReadIterationLimit(arguments.controlFile, arguments.kind);
  InstallSignalHandlers();

  const kovos::Handle worker = Need(engine.Start(arguments.kind, path.data()));
  std::array<char, kErrorMessageBytes> message{};
  if (worker == 0) {
    const std::int32_t code = Need(engine.GetKovError(message.data(), kErrorMessageBytes));
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
    if (g_interruptRequested != 0 && !abortRequested && Need(engine.AbortRun()) != 0) {
      // A refused request (the status lock was busy) is simply made again next pass.
      abortRequested = true;
      display.EndLine();
      WriteError("Abort requested\n");
    }
    std::int32_t iteration = 0;
    double criterion = 0.0;
    std::int16_t running = 0;
    if (Need(engine.GetIteration(&iteration, &criterion, &running)) == 1) {
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
  const std::int32_t code = Need(engine.GetKovError(message.data(), kErrorMessageBytes));
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
  if (arguments->help || !arguments->versionText.empty()) {
    const std::string text = arguments->help
                                 ? std::string(kovrun::kUsage) + "\n" + std::string(kovrun::kHelp)
                                 : arguments->versionText;
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
