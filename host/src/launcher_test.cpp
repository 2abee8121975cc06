#include "launcher.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "executable_path.h"
#include "spawn_process.h"
#include "testkit.h"

namespace karvo {
namespace {

using launch_detail::Attempt;
using launch_detail::OpenTool;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

const OpenTool kOpen{"/opt/karvo/bin/karvo-open", false};

}  // namespace
namespace launch_detail {
void PrintTo(const OpenTool& tool, std::ostream* out) {
  *out << tool.program << (tool.search_path ? " (by PATH)" : "");
}
}  // namespace launch_detail
namespace {

TEST(LaunchCandidates, OrderTable) {
  struct Case {
    const char* name;
    std::optional<std::string> hint;
    std::optional<std::string> host;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"inside the application bundle, no hint",
       std::nullopt,
       "/Applications/Karvo.app/Contents/MacOS/karvo-host",
       {"/Applications/Karvo.app/Contents/MacOS/Karvo", "/Applications/Karvo.app/Contents/MacOS/karvo",
        "/Applications/Karvo.app/Contents/MacOS/Karvo.exe", "/Applications/Karvo.app/Contents/MacOS/karvo.exe",
        "/Applications/Karvo.app"}},
      {"hint first, unchanged",
       "/opt/karvo/bin/karvo",
       "/usr/lib/karvo/karvo-host",
       {"/opt/karvo/bin/karvo", "/usr/lib/karvo/Karvo", "/usr/lib/karvo/karvo", "/usr/lib/karvo/Karvo.exe",
        "/usr/lib/karvo/karvo.exe", "/Applications/Karvo.app"}},
      {"host in the root directory",
       std::nullopt,
       "/karvo-host",
       {"/Karvo", "/karvo", "/Karvo.exe", "/karvo.exe", "/Applications/Karvo.app"}},
      {"own path unknown", "rel/karvo", std::nullopt, {"rel/karvo", "/Applications/Karvo.app"}},
      {"own path without a directory", std::nullopt, "karvo-host", {"/Applications/Karvo.app"}},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(launch_detail::launch_candidates(c.hint, c.host), ElementsAreArray(c.expected)) << c.name;
  }
}

TEST(LaunchCommand, RulesTable) {
  struct Case {
    std::string candidate;
    std::string bundle;  // empty: started directly
  };
  const Case cases[] = {
      {"/Applications/Karvo.app/Contents/MacOS/Karvo", "/Applications/Karvo.app"},
      {"/Applications/Karvo.app", "/Applications/Karvo.app"},
      {"/Applications/Karvo.app/", "/Applications/Karvo.app"},
      {"/Volumes/A.app/B.app/Contents/MacOS/Karvo", "/Volumes/A.app"},  // the first ".app/"
      {"/Volumes/A.app.d/B.app", "/Volumes/A.app.d/B.app"},
      {"/x/.app", "/x/.app"},
      {"/opt/karvo/bin/karvo", ""},
      {"/Apps/Karvo.APP", ""},  // the tests are case-sensitive
      {"/Apps/Karvo.APP/Contents/MacOS/Karvo", ""},
      {"/Apps/Karvo.application/karvo", ""},
      {"/Apps/Karvo.app.bak", ""},
      // Bytes that are not UTF-8 stay as they are: the bundle named is the one on disk.
      {"/Vol/\xff\xfe.app/Contents/MacOS/Karvo", "/Vol/\xff\xfe.app"},
      {"/opt/\xc3/karvo", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.candidate);
    const SpawnSpec spec = launch_detail::launch_command(c.candidate, kOpen);
    EXPECT_FALSE(spec.null_stderr);
    EXPECT_FALSE(spec.new_session);
    if (c.bundle.empty()) {
      EXPECT_EQ(spec.program, c.candidate);
      EXPECT_FALSE(spec.search_path);
      EXPECT_THAT(spec.args, ElementsAre("--background"));
      EXPECT_TRUE(spec.null_stdin_stdout);
    } else {
      EXPECT_EQ(spec.program, kOpen.program);
      EXPECT_EQ(spec.search_path, kOpen.search_path);
      EXPECT_THAT(spec.args, ElementsAre("-g", "-a", c.bundle, "--args", "--background"));
      EXPECT_FALSE(spec.null_stdin_stdout);
    }
  }
}

TEST(LaunchCommand, FallbackOpensTheRegisteredApplication) {
  const OpenTool by_path{"open", true};
  const SpawnSpec spec = launch_detail::fallback_command(by_path);
  EXPECT_EQ(spec.program, "open");
  EXPECT_TRUE(spec.search_path);
  EXPECT_THAT(spec.args, ElementsAre("-g", "-b", "com.karvo.app", "--args", "--background"));
  EXPECT_FALSE(spec.null_stdin_stdout);
}

TEST(LaunchCommand, OpenTool) {
  testkit::ScratchHome home;
  const std::string host = home.path() + "/bin/karvo-host";
#ifdef __APPLE__
  EXPECT_EQ(launch_detail::open_tool(host), (OpenTool{"open", true}));
#else
  // Beside the host when it is there and executable; else by PATH, never the system's `open`.
  EXPECT_EQ(launch_detail::open_tool(host), (OpenTool{"karvo-open", true}));
  ASSERT_TRUE(testkit::write_file(home.path() + "/bin/karvo-open", "", 0644));
  EXPECT_EQ(launch_detail::open_tool(host), (OpenTool{"karvo-open", true}));
  ASSERT_EQ(::chmod((home.path() + "/bin/karvo-open").c_str(), 0755), 0);
  EXPECT_EQ(launch_detail::open_tool(host), (OpenTool{home.path() + "/bin/karvo-open", false}));
  EXPECT_EQ(launch_detail::open_tool(std::nullopt), (OpenTool{"karvo-open", true}));
  EXPECT_EQ(launch_detail::open_tool("karvo-host"), (OpenTool{"karvo-open", true}));
#endif
}

TEST(ExecutablePath, NamesThisTestProgram) {
  const std::optional<std::string> self = executable_path();
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->front(), '/');
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::equivalent(*self, testkit::bin("karvo_host_unit_tests"), ec)) << *self;
}

#ifdef __linux__
// What the kernel says about a running process.
std::string proc_file(pid_t pid, const char* name) {
  return testkit::read_file("/proc/" + std::to_string(pid) + "/" + name).value_or("");
}

std::vector<std::string> open_fds(pid_t pid) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    out.push_back(entry.path().filename().string() + " " +
                  std::filesystem::read_symlink(entry.path(), ec).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A field of /proc/<pid>/status, such as "SigIgn".
std::string status_field(pid_t pid, const std::string& field) {
  std::istringstream in(proc_file(pid, "status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return {};
}

// Session and process group from /proc/<pid>/stat (after the parenthesised command name).
std::pair<long, long> session_and_group(pid_t pid) {
  const std::string stat = proc_file(pid, "stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0;
  in >> state >> ppid >> pgrp >> session;
  return {session, pgrp};
}

// A child of this test, stopped and reaped when the test ends.
struct Running {
  pid_t pid;
  ~Running() {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
};

TEST(SpawnProcess, DirectStartSeesOnlyItsStandardStreams) {
  // Descriptors that must not reach the child: one close-on-exec, one inherited from elsewhere.
  auto pipe = testkit::make_pipe();
  ASSERT_TRUE(pipe.has_value());
  testkit::OwnedFd stray(::dup(pipe->read_end.get()));  // dup() leaves close-on-exec off
  ASSERT_TRUE(stray);

  SpawnSpec spec;
  spec.program = "/bin/sleep";
  spec.args = {"30"};
  spec.null_stdin_stdout = true;
  const std::optional<pid_t> pid = spawn_process(spec);
  ASSERT_TRUE(pid.has_value());
  Running child{*pid};

  // posix_spawn returns once the program runs, so whatever it inherited is there now (besides what the
  // program may have opened since, such as its locale files).
  const std::vector<std::string> fds = open_fds(*pid);
  ASSERT_GE(fds.size(), 3u);
  EXPECT_EQ(fds[0], "0 /dev/null");
  EXPECT_EQ(fds[1], "1 /dev/null");
  EXPECT_EQ(fds[2], "2 " + std::filesystem::read_symlink("/proc/self/fd/2").string());  // inherited
  const std::string planted = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(stray.get())).string();
  for (std::size_t i = 3; i < fds.size(); ++i) {
    EXPECT_EQ(fds[i].find(planted), std::string::npos) << fds[i];
    EXPECT_EQ(fds[i].find("socket:"), std::string::npos) << fds[i];
  }

  // Same process group and session as the caller.
  EXPECT_EQ(session_and_group(*pid), std::make_pair(static_cast<long>(::getsid(0)), static_cast<long>(::getpgrp())));
}

TEST(SpawnProcess, ChildGetsDefaultSignalsWhateverTheCallerDoes) {
  struct sigaction ignore{};
  struct sigaction old{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
  sigset_t usr1;
  sigset_t old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask), 0);

  SpawnSpec spec;
  spec.program = "sleep";
  spec.search_path = true;
  spec.args = {"30"};
  const std::optional<pid_t> pid = spawn_process(spec);
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old, nullptr);
  ASSERT_TRUE(pid.has_value());
  Running child{*pid};

  const unsigned long ignored = std::stoul(status_field(*pid, "SigIgn"), nullptr, 16);
  EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0u);
  EXPECT_EQ(std::stoul(status_field(*pid, "SigBlk"), nullptr, 16), 0u);
}

TEST(SpawnProcess, NewSessionDetachesTheChild) {
  SpawnSpec spec;
  spec.program = "/bin/sleep";
  spec.args = {"30"};
  spec.null_stdin_stdout = true;
  spec.null_stderr = true;
  spec.new_session = true;
  const std::optional<pid_t> pid = spawn_process(spec);
  ASSERT_TRUE(pid.has_value());
  Running child{*pid};
  EXPECT_EQ(session_and_group(*pid), std::make_pair(static_cast<long>(*pid), static_cast<long>(*pid)));
  const std::vector<std::string> fds = open_fds(*pid);
  ASSERT_GE(fds.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(fds.begin(), fds.begin() + 3),
            (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
}
#endif  // __linux__

TEST(SpawnProcess, MissingProgramIsAFailure) {
  testkit::ScratchHome home;
  SpawnSpec spec;
  spec.program = home.path() + "/missing";
  errno = 0;
  EXPECT_FALSE(spawn_process(spec).has_value());
  EXPECT_EQ(errno, ENOENT);

  ASSERT_TRUE(testkit::write_file(home.path() + "/plain", "not a program\n", 0644));
  spec.program = home.path() + "/plain";
  EXPECT_FALSE(spawn_process(spec).has_value());

  spec.program = "karvo-no-such-program";
  spec.search_path = true;
  EXPECT_FALSE(spawn_process(spec).has_value());
}

// wait_for_app reads the endpoint file of $HOME: these tests point HOME at a scratch home.
class WaitForApp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("HOME")) old_home_ = old;
    ::setenv("HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (old_home_) {
      ::setenv("HOME", old_home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

  std::optional<AppLink> wait(std::chrono::steady_clock::duration limit) {
    return launch_detail::wait_for_app(limit, launch_detail::kAttemptPause,
                                       [this](Attempt a) { attempts_.push_back(a); });
  }

  testkit::ScratchHome home_;
  std::optional<std::string> old_home_;
  std::vector<Attempt> attempts_;
};

TEST_F(WaitForApp, DeadlineIsTestedBeforeEveryPause) {
  EXPECT_FALSE(wait(0s).has_value());
  EXPECT_TRUE(attempts_.empty());

  EXPECT_FALSE(wait(1s).has_value());
  ASSERT_FALSE(attempts_.empty());
  for (Attempt a : attempts_) EXPECT_EQ(a, Attempt::no_endpoint);
}

TEST_F(WaitForApp, ApplicationThatRefusesTheTokenIsNeverReached) {
  testkit::StandinApp app(home_, {"--refuse-all"});
  ASSERT_TRUE(app.ok());
  EXPECT_FALSE(wait(1s).has_value());
  ASSERT_FALSE(attempts_.empty());
  for (Attempt a : attempts_) EXPECT_EQ(a, Attempt::not_connected);
}

TEST_F(WaitForApp, LatePublicationIsReachedAtTheNextAttempt) {
  testkit::StandinApp app(home_, {"--publish-delay", "3000"});
  ASSERT_TRUE(app.ok());
  std::optional<AppLink> link = wait(launch_detail::kWaitForApp);
  ASSERT_TRUE(link.has_value());
  // Every attempt before the endpoint appeared found nothing; the first one that found it got the link.
  ASSERT_GE(attempts_.size(), 2u);
  EXPECT_EQ(attempts_.back(), Attempt::linked);
  for (std::size_t i = 0; i + 1 < attempts_.size(); ++i) EXPECT_EQ(attempts_[i], Attempt::no_endpoint) << i;
  EXPECT_TRUE(app.wait_event("auth 1 ok").has_value());
}

}  // namespace
}  // namespace karvo
