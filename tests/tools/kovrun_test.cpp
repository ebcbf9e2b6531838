// kovrun run as a child process: against the real engine beside it, alone in a folder, and
// beside a scripted engine that gives the answers a real run gives only by chance.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sstream>
#include <vector>

extern char** environ;

namespace kovrun {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUsage =
    "usage: kovrun [--em | --da] [--threads N] [--starts N] [--final K] [--seed S]\n"
    "              [--posterior FILE.csv [--by-pattern]]\n"
    "              [--enumerate classes:A-B|statuses:A-B [--bootstrap B]] FILE.cnt\n";

struct Outcome {
  int exitCode = -1;  // -1 when the child did not exit by itself
  std::string err;
  std::string out;
};

// One kovrun process. Its standard error comes through a pipe, so a test can wait for a
// line to appear before it acts; standard output goes to an anonymous file.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (!Overridden(environment, *entry)) envp.emplace_back(*entry);
    }
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envpPointers = Pointers(envp);

    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    m_out = std::tmpfile();
    if (m_out == nullptr) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(pipeEnds[1], STDERR_FILENO);
      dup2(fileno(m_out), STDOUT_FILENO);
      close(pipeEnds[0]);
      close(pipeEnds[1]);
      execve(program.c_str(), argvPointers.data(), envpPointers.data());
      _exit(127);
    }
    close(pipeEnds[1]);
    m_err = pipeEnds[0];
  }

  ~Child() {
    if (m_err >= 0) close(m_err);
    if (m_out != nullptr) std::fclose(m_out);
    if (m_pid > 0 && !m_reaped) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

  bool Started() const { return m_pid > 0 && m_err >= 0; }
  pid_t Pid() const { return m_pid; }

  // Reads standard error until it holds `text`; false when the child closed it first.
  bool ReadUntil(std::string_view text) {
    while (m_errText.find(text) == std::string::npos) {
      if (!ReadSome()) return false;
    }
    return true;
  }

  Outcome Finish() {
    while (ReadSome()) {
    }
    Outcome outcome;
    int status = 0;
    if (waitpid(m_pid, &status, 0) == m_pid) {
      m_reaped = true;
      if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    }
    outcome.err = m_errText;
    std::rewind(m_out);
    for (int c = std::fgetc(m_out); c != EOF; c = std::fgetc(m_out)) {
      outcome.out += static_cast<char>(c);
    }
    return outcome;
  }

 private:
  static bool Overridden(const std::vector<std::string>& environment, std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('='));
    for (const std::string& setting : environment) {
      if (setting.compare(0, setting.find('='), name) == 0) return true;
    }
    return false;
  }

  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  bool ReadSome() {
    char buffer[4096];
    for (;;) {
      const ssize_t count = read(m_err, buffer, sizeof buffer);
      if (count > 0) {
        m_errText.append(buffer, static_cast<std::size_t>(count));
        return true;
      }
      if (count < 0 && errno == EINTR) continue;
      return false;
    }
  }

  pid_t m_pid = -1;
  int m_err = -1;
  std::FILE* m_out = nullptr;
  std::string m_errText;
  bool m_reaped = false;
};

Outcome RunKovrun(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment = {}) {
  Child child(program, arguments, environment);
  EXPECT_TRUE(child.Started());
  return child.Finish();
}

std::string ReadText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class KovrunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kovrun_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_folder = pattern;
  }
  void TearDown() override { fs::remove_all(m_folder); }

  // kovrun copied into the temporary folder, with the given library as its libkov.so.
  std::string Install(const char* engine) {
    const fs::path program = m_folder / "kovrun";
    fs::copy_file(KOVRUN_PATH, program, fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms::owner_all);
    if (engine != nullptr) {
      fs::copy_file(engine, m_folder / "libkov.so", fs::copy_options::overwrite_existing);
    }
    return program.string();
  }

  // libkovos is found through the search path; the folder also holds the real libkov.so,
  // which kovrun must not pick up from there: it loads only the one in its own folder.
  static std::string SearchPath() { return std::string("LD_LIBRARY_PATH=") + KOVOS_DIR; }

  Outcome RunScripted(const std::string& scenario, const std::vector<std::string>& arguments) {
    return RunKovrun(Install(TEST_ENGINE_PATH), arguments,
               {SearchPath(), "KOVRUN_TEST_SCENARIO=" + scenario});
  }

  fs::path m_folder;
};

TEST_F(KovrunTest, AMissingControlFileGivesTheEnginesOpenError) {
  // errno 2 (ENOENT) from the engine's open, its message with the path as given.
  const std::string path = (m_folder / "absent.cnt").string();
  const Outcome outcome = RunKovrun(KOVRUN_PATH, {path});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.err.find("Engine error 2: Unable to open control file: " + path +
                             "; Please verify that this is a valid file name and path.\n"),
            std::string::npos)
      << outcome.err;
}

TEST_F(KovrunTest, NamesInTheControlFileMeanTheFilesBesideIt) {
  // Started from another folder, as the installed examples are run: the bare data and report
  // names of the example are found and written beside its control file.
  const std::string examples = KOVRUN_TEST_DATA "/../../../examples/";
  const fs::path model = m_folder / "model";
  fs::create_directory(model);
  for (const char* name : {"stouffer_toby.cnt", "stouffer_toby.dat"}) {
    fs::copy_file(examples + name, model / name);
  }
  const Outcome outcome = RunKovrun(KOVRUN_PATH, {"--em", (model / "stouffer_toby.cnt").string()});
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_NE(ReadText((model / "stouffer_toby.out").string()).find("stouffer_toby.cnt"),
            std::string::npos);
}

TEST_F(KovrunTest, BadArgumentsGiveTheUsageAndExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--em"},
      {"--bogus", "a.cnt"},
      {"a.cnt", "b.cnt"},
      {"--em", "--da", "a.cnt"},
      {"--threads", "0", "a.cnt"},
      {"--threads", "257", "a.cnt"},
      {"--threads", "a.cnt"},
      {"--starts", "0", "a.cnt"},
      {"--starts", "10001", "a.cnt"},
      {"--final", "0", "a.cnt"},
      {"--seed", "-1", "a.cnt"},
      {"--da", "--starts", "3", "a.cnt"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    const Outcome outcome = RunKovrun(KOVRUN_PATH, arguments);
    EXPECT_EQ(outcome.exitCode, 2) << outcome.err;
    EXPECT_NE(outcome.err.find(kUsage), std::string::npos) << outcome.err;
  }

  // 301 bytes do not fit the engine's 300-byte path field; nothing is started.
  const Outcome tooLong = RunKovrun(KOVRUN_PATH, {std::string(301, 'a')});
  EXPECT_EQ(tooLong.exitCode, 2);
  EXPECT_NE(tooLong.err.find("301 bytes long; the engine takes at most 300"), std::string::npos)
      << tooLong.err;

  const Outcome help = RunKovrun(KOVRUN_PATH, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find(kUsage), std::string::npos);
}

TEST_F(KovrunTest, StartOptionsOverrideTheControlFileForOneRun) {
  const std::string examples = KOVRUN_TEST_DATA "/../../../examples/";
  fs::copy_file(examples + "stouffer_toby.dat", m_folder / "stouffer_toby.dat");
  // Every file the example names, in the test's folder.
  std::string plain = ReadText(examples + "stouffer_toby.cnt");
  const std::string folderName = "'" + (m_folder / "stouffer_toby").string();
  for (std::size_t at = plain.find("'stouffer_toby"); at != std::string::npos;
       at = plain.find("'stouffer_toby", at + folderName.size())) {
    plain.replace(at, 14, folderName);
  }
  struct Case {
    const char* block;
    std::vector<std::string> options;
    const char* plan;  // the report's line of the starts made
    const char* best;
  };
  const Case cases[] = {
      {"'STARTS' 12 4 30 2024\n", {}, " 12 STARTS FROM SEED 2024 ", " THE BEST 4 "},
      {"'STARTS' 12 4 30 2024\n", {"--starts", "8", "--final", "2", "--seed", "9"},
       " 8 STARTS FROM SEED 9 ", " THE BEST 2 "},
      {"'STARTS' 12 4 30 2024\n", {"--seed", "5"}, " 12 STARTS FROM SEED 5 ", " THE BEST 4 "},
      {"", {"--starts", "6"}, " 6 STARTS FROM SEED 0 ", " THE BEST 1 "},
      {"", {"--final", "3"}, " 20 STARTS FROM SEED 0 ", " THE BEST 3 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.block) + std::to_string(c.options.size()));
    const std::string control = (m_folder / "job.cnt").string();
    { std::ofstream(control) << plain << c.block; }
    std::vector<std::string> arguments = c.options;
    arguments.push_back(control);
    const Outcome outcome = RunKovrun(KOVRUN_PATH, arguments);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const std::string report = ReadText((m_folder / "stouffer_toby.out").string());
    EXPECT_NE(report.find(c.plan), std::string::npos) << report;
    EXPECT_NE(report.find(c.best), std::string::npos) << report;
  }
  // Without the block or an option the start values are the only start.
  { std::ofstream(m_folder / "job.cnt") << plain; }
  ASSERT_EQ(RunKovrun(KOVRUN_PATH, {(m_folder / "job.cnt").string()}).exitCode, 0);
  EXPECT_EQ(ReadText((m_folder / "stouffer_toby.out").string()).find("RANDOM STARTS"),
            std::string::npos);
}

TEST_F(KovrunTest, RefusesToRunWithoutTheEngineInItsOwnFolder) {
  // A libkov.so on the search path that would run to its end if kovrun looked there.
  const std::string searchPath =
      SearchPath() + ":" + fs::path(TEST_ENGINE_PATH).parent_path().string();
  const std::string program = Install(nullptr);
  const Outcome outcome =
      RunKovrun(program, {"job.cnt"}, {searchPath, "KOVRUN_TEST_SCENARIO=finish"});
  EXPECT_EQ(outcome.exitCode, 3);
  EXPECT_NE(outcome.err.find("Cannot load the engine library " + (m_folder / "libkov.so").string() +
                             ": "),
            std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("No such file"), std::string::npos) << outcome.err;
}

TEST_F(KovrunTest, FindsTheEngineBesideItsRealFileWhenStartedThroughALink) {
  // As /usr/bin/kovrun points into the folder that holds the engine.
  fs::create_directory(m_folder / "bin");
  fs::create_symlink(Install(TEST_ENGINE_PATH), m_folder / "bin" / "kovrun");
  const Outcome outcome =
      RunKovrun((m_folder / "bin" / "kovrun").string(), {KOVRUN_TEST_DATA "/editor_head.cnt"},
                {SearchPath(), "KOVRUN_TEST_SCENARIO=finish"});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
}

TEST_F(KovrunTest, NamesAnExportTheEngineLacks) {
  const Outcome outcome = RunKovrun(Install(INCOMPLETE_ENGINE_PATH), {"job.cnt"}, {SearchPath()});
  EXPECT_EQ(outcome.exitCode, 3);
  EXPECT_NE(outcome.err.find("The engine library " + (m_folder / "libkov.so").string() +
                             " has no function lClean: "),
            std::string::npos)
      << outcome.err;
}

TEST_F(KovrunTest, ShowsTheRunsProgressAgainstTheLimitOfItsKind) {
  // The scripted run ends at iteration 5 with criterion 0.25 (EM) or -9 (DA); the control
  // file sets 500 EM iterations and 10 x 5 DA iterations.
  const std::string control = KOVRUN_TEST_DATA "/editor_head.cnt";
  const Outcome em = RunScripted("finish", {control});
  EXPECT_EQ(em.exitCode, 0);
  EXPECT_EQ(em.err, "iteration 5 of 500  MAD 0.250000000\nRun finished\n");

  const Outcome da = RunScripted("finish", {"--da", control});
  EXPECT_EQ(da.exitCode, 0);
  EXPECT_EQ(da.err, "iteration 5 of 50\nRun finished\n");
}

TEST_F(KovrunTest, ReportsTheEnginesErrorWithThePathFieldItWasGiven) {
  // The scripted engine quotes the 300 bytes it received: the path, then blanks.
  const std::string path = "some/job.cnt";
  const Outcome outcome = RunScripted("error", {path});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.err.find("Engine error 12: Path [" + path +
                             std::string(300 - path.size(), ' ') + "]\n"),
            std::string::npos)
      << outcome.err;
}

TEST_F(KovrunTest, FailsOnAResultOtherThanOneOrAFailedStart) {
  const Outcome result = RunScripted("result", {"job.cnt"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("the run ended with result 7"), std::string::npos) << result.err;

  const Outcome noThread = RunScripted("nothread", {"job.cnt"});
  EXPECT_EQ(noThread.exitCode, 1);
  EXPECT_NE(noThread.err.find("could not start its worker thread (error 11: No thread)"),
            std::string::npos)
      << noThread.err;
}

TEST_F(KovrunTest, RefusesABusyOrUsedEngine) {
  const Outcome busy = RunScripted("busy", {"job.cnt"});
  EXPECT_EQ(busy.exitCode, 4);
  EXPECT_NE(busy.err.find("currently executing"), std::string::npos) << busy.err;

  const Outcome used = RunScripted("used", {"job.cnt"});
  EXPECT_EQ(used.exitCode, 4);
  EXPECT_NE(used.err.find("already run a job"), std::string::npos) << used.err;
}

TEST_F(KovrunTest, CtrlCAbortsTheRunOnceAndWaitsForItsEnd) {
  // The scripted worker publishes iteration 1 and then waits for lAbortRun.
  Child child(Install(TEST_ENGINE_PATH), {"job.cnt"},
              {SearchPath(), "KOVRUN_TEST_SCENARIO=abort"});
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.ReadUntil("iteration 1  MAD 0.250000000\n"));
  ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
  const Outcome outcome = child.Finish();
  EXPECT_EQ(outcome.exitCode, 130) << outcome.err;
  EXPECT_EQ(Count(outcome.err, "Abort requested\n"), 1u) << outcome.err;
  EXPECT_NE(outcome.err.find("iteration 2  MAD 0.250000000\nRun aborted after iteration 2\n"),
            std::string::npos)
      << outcome.err;
}

}  // namespace
}  // namespace kovrun
