// karvo-host starting the desktop application when the first message asks for it: the launch lock, the
// places where the application may be, how each is started, and the wait for the application.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "launch_kit.h"

namespace karvo::launchtest {
namespace {

constexpr const char* kStarted = "karvo-host: started ";
constexpr const char* kWaiting = "karvo-host: another host is already starting Karvo; waiting for it\n";
constexpr const char* kGaveUp = "karvo-host: Karvo is not running and could not be started\n";

// Everything the host has written to its standard error so far.
std::string err_of(Child& host) {
  host.sync_output();
  return host.stderr_text();
}

std::string launch_message(int id) { return R"({"launch":true,"id":)" + std::to_string(id) + "}"; }

// The stand-in's answer to launch_message(id), relayed by the host.
bool is_answer(const std::string& frame, int id) {
  return frame.find(R"("id":)" + std::to_string(id) + R"(,"type":"reply")") != std::string::npos;
}

std::string lock_path(const ScratchHome& home) { return home.data_dir() + "/launch.lock"; }

// An endpoint file left by an application that is gone: nothing listens on its port any more.
void leave_endpoint(const ScratchHome& home, const std::string& exe) {
  ASSERT_TRUE(home.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) +
                             R"(,"token":"gone","exe":")" + exe + "\"}"));
}

// A lock file taken `age_seconds` ago (negative: in the future).
void leave_lock(const ScratchHome& home, long age_seconds) {
  ASSERT_TRUE(testkit::make_dirs(home.data_dir()));
  ASSERT_TRUE(testkit::write_file(lock_path(home), ""));
  timespec when{};
  ::clock_gettime(CLOCK_REALTIME, &when);
  when.tv_sec -= age_seconds;
  const timespec times[2] = {when, when};
  ASSERT_EQ(::utimensat(AT_FDCWD, lock_path(home).c_str(), times, 0), 0);
}

class Launch : public ::testing::Test {
 protected:

  std::unique_ptr<Child> start_host(const std::string& program = testkit::bin("karvo-host"),
                                    std::vector<std::string> extra_env = {}) const {
    auto host = std::make_unique<Child>(std::vector<std::string>{program}, test_env(home_, std::move(extra_env)),
                                        home_.path());
    EXPECT_TRUE(host->started());
    return host;
  }

  // Sends the launch request and expects the application's answer to come back through the host.
  static void expect_relay(Child& host, int id, testkit::Ms timeout = 30s) {
    ASSERT_TRUE(host.write_all(testkit::frame(launch_message(id))));
    const std::optional<std::string> frame = testkit::read_frame(host, timeout);
    ASSERT_TRUE(frame.has_value()) << "no answer; host stderr: " << err_of(host);
    EXPECT_TRUE(is_answer(*frame, id)) << *frame;
  }

  ScratchHome home_;
  Programs programs_{home_};
};

TEST_F(Launch, FirstMessageWithoutLaunchStartsNothing) {
  const std::string hint = programs_.install_recorder(home_.path() + "/opt/karvo");
  leave_endpoint(home_, hint);
  for (const char* first : {R"({"id":1})", R"({"launch":false,"id":1})", R"({"launch":"true","id":1})",
                            R"({"launch":1,"id":1})", R"([{"launch":true}])", "launch"}) {
    SCOPED_TRACE(first);
    auto host = start_host();
    ASSERT_TRUE(host->write_all(testkit::frame(first)));
    ASSERT_TRUE(testkit::read_frame(*host, 5s).has_value());  // the app-unavailable reply: no launch came first
    EXPECT_EQ(err_of(*host), "karvo-host: Karvo is not running\n");
    EXPECT_FALSE(testkit::path_exists(lock_path(home_)));
  }
  EXPECT_TRUE(programs_.starts().empty());
}

TEST_F(Launch, HintedExecutableIsStartedDirectlyAndReachedOncePublished) {
  // The application publishes 3 s after it starts: the host keeps the lock meanwhile and gets its link at
  // the next attempt after that.
  const std::string hint = programs_.install_app(home_.path() + "/opt/karvo/bin/karvo", {"--publish-delay", "3000"});
  leave_endpoint(home_, hint);
  auto host = start_host();
  ASSERT_TRUE(host->write_all(testkit::frame(launch_message(1))));
  ASSERT_TRUE(host->wait_stderr(kStarted, 10s)) << err_of(*host);
  EXPECT_TRUE(testkit::path_exists(lock_path(home_)));

  const std::optional<std::string> frame = testkit::read_frame(*host, 20s);
  ASSERT_TRUE(frame.has_value()) << err_of(*host);
  EXPECT_TRUE(is_answer(*frame, 1)) << *frame;
  EXPECT_FALSE(testkit::path_exists(lock_path(home_)));  // deleted once the link was made
  EXPECT_EQ(err_of(*host), std::string(kStarted) + hint + "\n");

  const std::vector<Start> starts = programs_.starts();
  ASSERT_EQ(starts.size(), 1u);
  const Start& app = starts[0];
  EXPECT_EQ(app.program, hint);
  EXPECT_EQ(app.args, "--background");
  // Only the standard streams reach it: input and output on the null device, error the host's own.
  EXPECT_EQ(app.fds, (std::map<int, std::string>{{0, "/dev/null"},
                                                {1, "/dev/null"},
                                                {2, link_target("/proc/" + std::to_string(host->pid()) + "/fd/2")}}));
  // It stays in the host's process group.
  EXPECT_EQ(ids_of(app.pid).group, host->pid());
  EXPECT_NE(programs_.app_events(app.pid).find(R"(recv 1 {"id":1,"launch":true})"), std::string::npos);
}

struct HintCase {
  const char* name;
  const char* hint;     // under the scratch home; installed as a stand-in unless `app` says otherwise
  const char* app;      // where the application really is, when not at the hint
  bool through_open;    // started through karvo-open rather than directly
};

class LaunchHint : public Launch, public ::testing::WithParamInterface<HintCase> {};

TEST_P(LaunchHint, BundleRulesChooseTheCommand) {
  const HintCase& c = GetParam();
  const std::string hint = home_.path() + c.hint;
  const std::string app = home_.path() + (c.app ? c.app : c.hint);
  programs_.install_app(app);
  if (c.app) {
    // The hint exists too (a candidate is tried only when it does) but must not be what runs.
    if (std::string_view(c.hint).ends_with(".app")) {
      ASSERT_TRUE(testkit::make_dirs(hint));
    } else {
      programs_.install_recorder(hint);
    }
  }
  leave_endpoint(home_, hint);

  auto host = start_host();
  expect_relay(*host, 7);
  EXPECT_EQ(err_of(*host), std::string(kStarted) + hint + "\n");

  const std::vector<Start> starts = programs_.starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, app);
  EXPECT_EQ(starts[0].args, "--background");
  if (c.through_open) {
    // Detached like `open` does: a session of its own, every standard stream on the null device.
    EXPECT_EQ(ids_of(starts[0].pid), (Ids{starts[0].pid, starts[0].pid}));
    EXPECT_EQ(starts[0].fds, (std::map<int, std::string>{{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}}));
  } else {
    EXPECT_EQ(ids_of(starts[0].pid).group, host->pid());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LaunchHint,
    ::testing::Values(
        HintCase{"InsideABundle", "/Apps/Karvo.app/Contents/MacOS/Karvo", nullptr, true},
        HintCase{"TheBundleItself", "/Apps/Karvo.app", "/Apps/Karvo.app/Contents/MacOS/Karvo", true},
        HintCase{"FirstBundleOfTwo", "/Vol/A.app/B.app/Contents/MacOS/Karvo", "/Vol/A.app/Contents/MacOS/A", true},
        HintCase{"CapitalSuffixRunsDirectly", "/Apps/Karvo.APP", nullptr, false},
        HintCase{"PlainExecutable", "/opt/karvo/bin/karvo", nullptr, false}),
    [](const ::testing::TestParamInfo<HintCase>& param) { return std::string(param.param.name); });

// A copy of the host installed at `dir`/karvo-host, with karvo-open reached by PATH only.
std::string install_host(const std::string& dir) {
  const std::string host = dir + "/karvo-host";
  EXPECT_TRUE(testkit::install_program(testkit::bin("karvo-host"), host));
  return host;
}
std::string path_with_open() { return "PATH=" + testkit::parent_dir(testkit::bin("karvo-open")) + ":/usr/bin:/bin"; }

TEST_F(Launch, ApplicationInsideTheHostsBundle) {
  // The host installed inside the application's bundle, the application's executable beside it.
  const std::string macos = home_.path() + "/Applications/Karvo.app/Contents/MacOS";
  const std::string host_copy = install_host(macos);
  programs_.install_app(macos + "/Karvo");

  auto host = start_host(host_copy, {path_with_open()});
  expect_relay(*host, 3);
  EXPECT_EQ(err_of(*host), std::string(kStarted) + macos + "/Karvo\n");
  const std::vector<Start> starts = programs_.starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, macos + "/Karvo");
  EXPECT_EQ(ids_of(starts[0].pid).session, starts[0].pid);  // through karvo-open
}

TEST_F(Launch, CandidatesBesideTheHostInOrder) {
  struct Case {
    std::vector<const char*> present;  // names beside the host
    bool hint;                         // a usable endpoint file names an application too
    const char* expected;              // "hint", or the name beside the host
  };
  const Case cases[] = {
      {{"karvo.exe", "Karvo.exe"}, false, "Karvo.exe"},
      {{"karvo.exe", "karvo"}, false, "karvo"},
      {{"karvo", "Karvo"}, false, "Karvo"},
      {{"Karvo"}, true, "hint"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ScratchHome home;
    Programs programs(home);
    const std::string dir = home.path() + "/opt/bin";
    const std::string host_copy = install_host(dir);
    for (const char* name : c.present) programs.install_app(dir + "/" + name);
    std::string expected = dir + "/" + c.expected;
    if (c.hint) {
      expected = programs.install_app(home.path() + "/hinted");
      leave_endpoint(home, expected);
    }
    Child host({host_copy}, test_env(home, {path_with_open()}), home.path());
    expect_relay(host, ++n);
    EXPECT_EQ(err_of(host), std::string(kStarted) + expected + "\n");
    const std::vector<Start> starts = programs.starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, expected);
  }
}

TEST_F(Launch, NoCandidateFallsBackToTheRegisteredApplication) {
  // No hint, nothing beside the host, no /Applications/Karvo.app: `open -b com.karvo.app`, which here is
  // karvo-open and the desktop entry com.karvo.app.desktop.
  const std::string app = programs_.install_app(home_.path() + "/libexec/karvo-app");
  ASSERT_TRUE(testkit::write_file(home_.path() + "/share/applications/com.karvo.app.desktop",
                                  "[Desktop Entry]\nType=Application\nName=Karvo\nExec=" + app + " %U\n"));
  auto host = start_host();
  expect_relay(*host, 4);
  EXPECT_EQ(err_of(*host), "");  // the fallback is not logged
  const std::vector<Start> starts = programs_.starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, app);
  EXPECT_EQ(starts[0].args, "--background");
}

TEST_F(Launch, WaiterThatGetsALinkDeletesTheLock) {
  leave_lock(home_, 10);
  leave_endpoint(home_, programs_.install_recorder(home_.path() + "/opt/karvo"));
  auto host = start_host();
  ASSERT_TRUE(host->write_all(testkit::frame(launch_message(5))));
  ASSERT_TRUE(host->wait_stderr(kWaiting, 10s)) << err_of(*host);

  // The host that holds the lock brings the application up.
  StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  const std::optional<std::string> frame = testkit::read_frame(*host, 10s);
  ASSERT_TRUE(frame.has_value()) << err_of(*host);
  EXPECT_TRUE(is_answer(*frame, 5)) << *frame;
  EXPECT_FALSE(testkit::path_exists(lock_path(home_)));
  EXPECT_EQ(err_of(*host), kWaiting);
  EXPECT_TRUE(programs_.starts().empty());
}

TEST_F(Launch, StaleLockIsReplaced) {
  for (long age : {26L, -3600L}) {  // older than 25 s; in the future
    SCOPED_TRACE(age);
    ScratchHome home;
    Programs programs(home);
    leave_lock(home, age);
    const std::string hint = programs.install_app(home.path() + "/karvo");
    leave_endpoint(home, hint);

    Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
    expect_relay(host, 2);
    EXPECT_EQ(err_of(host), std::string(kStarted) + hint + "\n");
    EXPECT_FALSE(testkit::path_exists(lock_path(home)));
  }
}

TEST(LaunchRace, ManyHostsAtOnceStartTheApplicationOnce) {
  constexpr int kHosts = 24;
  ScratchHome home;
  Programs programs(home);
  // The application takes a moment to publish, as a real one does.
  leave_endpoint(home, programs.install_app(home.path() + "/karvo", {"--publish-delay", "1500"}));
  std::vector<std::unique_ptr<Child>> hosts;
  for (int i = 0; i < kHosts; ++i) {
    hosts.push_back(std::make_unique<Child>(std::vector<std::string>{testkit::bin("karvo-host")}, test_env(home),
                                            home.path()));
    ASSERT_TRUE(hosts.back()->started());
  }
  for (int i = 0; i < kHosts; ++i) ASSERT_TRUE(hosts[static_cast<std::size_t>(i)]->write_all(testkit::frame(launch_message(i))));

  int started_lines = 0;
  int waiting_lines = 0;
  for (int i = 0; i < kHosts; ++i) {
    Child& host = *hosts[static_cast<std::size_t>(i)];
    SCOPED_TRACE("host " + std::to_string(i));
    const std::optional<std::string> frame = testkit::read_frame(host, 60s);
    ASSERT_TRUE(frame.has_value()) << err_of(host);
    EXPECT_TRUE(is_answer(*frame, i)) << *frame;
    const std::string err = err_of(host);
    started_lines += err.find(kStarted) != std::string::npos ? 1 : 0;
    waiting_lines += err.find(kWaiting) != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(started_lines, 1);
  EXPECT_EQ(programs.starts().size(), 1u);
  EXPECT_LE(waiting_lines, kHosts - 1);
  EXPECT_FALSE(testkit::path_exists(lock_path(home)));
}

// The host's own lines of a standard error that programs it started share.
std::string host_lines(const std::string& err) {
  std::string out;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("karvo-host: ", 0) == 0) out += line + "\n";
  }
  return out;
}

// The hosts that give up wait their full 20 seconds; they run side by side, in homes of their own.
TEST(LaunchGivingUp, AfterTwentySeconds) {
  ScratchHome waiter_home;   // a fresh lock held by a host that never brings the application up
  ScratchHome empty_home;    // nothing to start, and the fallback finds no registered application
  ScratchHome refused_home;  // the application runs but refuses every token
  Programs waiter_programs(waiter_home);
  Programs refused_programs(refused_home);

  leave_lock(waiter_home, 0);
  leave_endpoint(waiter_home, waiter_programs.install_recorder(waiter_home.path() + "/karvo"));
  const std::string refused_hint = refused_programs.install_recorder(refused_home.path() + "/karvo");
  StandinApp refusing(refused_home, {"--refuse-all", "--exe", refused_hint});
  ASSERT_TRUE(refusing.ok());

  struct Run {
    const char* name;
    ScratchHome& home;
    std::string expected_stderr;
    bool lock_left;
    std::unique_ptr<Child> host;
  };
  Run runs[] = {
      {"waiter", waiter_home, std::string(kWaiting) + kGaveUp, true, nullptr},
      {"nothing to start", empty_home, kGaveUp, false, nullptr},
      {"refused", refused_home, std::string(kStarted) + refused_hint + "\n" + kGaveUp, false, nullptr},
  };
  const auto begin = std::chrono::steady_clock::now();
  for (Run& r : runs) {
    r.host = std::make_unique<Child>(std::vector<std::string>{testkit::bin("karvo-host")}, test_env(r.home),
                                     r.home.path());
    ASSERT_TRUE(r.host->write_all(testkit::frame(launch_message(9))));
  }
  for (Run& r : runs) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(r.host->wait_stderr(kGaveUp, 40s)) << err_of(*r.host);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 20s);
    // Then the host is unavailable: the launch request is answered as such.
    const std::optional<std::string> frame = testkit::read_frame(*r.host, 5s);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(*frame, R"({"error":"app-unavailable","id":9,"type":"error"})");
    EXPECT_EQ(host_lines(err_of(*r.host)), r.expected_stderr);
    EXPECT_EQ(testkit::path_exists(lock_path(r.home)), r.lock_left);
  }
  // The fallback ran, and told why it could not start anything.
  EXPECT_NE(err_of(*runs[1].host).find("karvo-open: no application is registered as com.karvo.app"),
            std::string::npos);
  EXPECT_TRUE(waiter_programs.starts().empty());
  ASSERT_EQ(refused_programs.starts().size(), 1u);  // the launch command ran all the same
  EXPECT_EQ(refused_programs.starts()[0].args, "--background");
}

}  // namespace
}  // namespace karvo::launchtest
