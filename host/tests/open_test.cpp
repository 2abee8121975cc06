// karvo-open, the equivalent of the platform's `open` that the host runs on systems without one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch_kit.h"

namespace karvo::launchtest {
namespace {

class Open : public ::testing::Test {
 protected:
  // Runs karvo-open to its end: its exit status and standard error.
  std::pair<int, std::string> run(std::vector<std::string> args) {
    args.insert(args.begin(), testkit::bin("karvo-open"));
    Child open(std::move(args), test_env(home_), home_.path());
    EXPECT_TRUE(open.started());
    const std::optional<int> status = open.wait_exit(30s);
    EXPECT_TRUE(status.has_value());
    open.sync_output();
    return {status.value_or(-1), open.stderr_text()};
  }

  // The one start that karvo-open caused; it ran detached from its caller.
  Start only_start() {
    EXPECT_TRUE(programs_.wait_starts(1));
    const std::vector<Start> starts = programs_.starts();
    EXPECT_EQ(starts.size(), 1u);
    if (starts.empty()) return {};
    const Start& s = starts[0];
    EXPECT_EQ(ids_of(s.pid), (Ids{s.pid, s.pid}));
    EXPECT_EQ(s.fds, (std::map<int, std::string>{{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}}));
    return s;
  }

  ScratchHome home_;
  Programs programs_{home_};
};

TEST_F(Open, BundleRunsItsExecutable) {
  struct Case {
    std::vector<const char*> executables;  // in Karvo.app/Contents/MacOS
    const char* expected;                  // nullptr: no start
  };
  const Case cases[] = {
      {{"Karvo"}, "Karvo"},
      {{"Other", "Karvo"}, "Karvo"},  // named after the bundle first
      {{"Other"}, "Other"},           // else the only one there
      {{"One", "Two"}, nullptr},
      {{}, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected ? c.expected : "none");
    const std::string bundle = home_.path() + "/b" + std::to_string(++n) + "/Karvo.app";
    ASSERT_TRUE(testkit::make_dirs(bundle + "/Contents/MacOS"));
    for (const char* e : c.executables) programs_.install_recorder(bundle + "/Contents/MacOS/" + e);
    const auto before = programs_.starts().size();
    const auto [status, err] = run({"-g", "-a", bundle + "/", "--args", "--background"});
    if (c.expected) {
      EXPECT_EQ(status, 0) << err;
      EXPECT_EQ(err, "");
      ASSERT_TRUE(programs_.wait_starts(before + 1));
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_NE(err.find("karvo-open: "), std::string::npos);
    }
  }
  // Each bundle that could be opened started exactly its expected executable, detached.
  const std::vector<Start> starts = programs_.starts();
  EXPECT_EQ(starts.size(), 3u);
  for (const Start& s : starts) {
    EXPECT_EQ(s.args, "--background");
    EXPECT_EQ(ids_of(s.pid).session, s.pid);
  }
}

TEST_F(Open, PlainExecutableWithItsArgumentsUntouched) {
  const std::string app = programs_.install_recorder(home_.path() + "/bin/app");
  const auto [status, err] = run({"-a", app, "--args", "one two", "$HOME", "*", "%U"});
  EXPECT_EQ(status, 0) << err;
  const Start s = only_start();
  EXPECT_EQ(s.program, app);
  EXPECT_EQ(s.args, "one two $HOME * %U");
}

TEST_F(Open, RegisteredApplicationFromItsDesktopEntry) {
  const std::string app = programs_.install_recorder(home_.path() + "/libexec/karvo app");
  ASSERT_TRUE(testkit::write_file(home_.path() + "/share/applications/com.karvo.app.desktop",
                                  "[Desktop Entry]\nType=Application\nName=Karvo\nExec=\"" + app +
                                      "\" --from-entry %U\n"));
  // Field codes of the entry are GLib's business; the arguments after --args arrive exactly as given.
  const auto [status, err] = run({"-g", "-b", "com.karvo.app", "--args", "--background", "it's 100% \"so\"", "a\\b"});
  EXPECT_EQ(status, 0) << err;
  const Start s = only_start();
  EXPECT_EQ(s.program, app);
  EXPECT_EQ(s.args, "--from-entry --background it's 100% \"so\" a\\b");
}

TEST_F(Open, FailuresAreReported) {
  ASSERT_TRUE(testkit::make_dirs(home_.path() + "/plain-dir"));
  ASSERT_TRUE(testkit::write_file(home_.path() + "/not-executable", "text\n", 0644));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"-b", "com.karvo.unknown"}, 1, "karvo-open: no application is registered as com.karvo.unknown"},
      {{"-a", home_.path() + "/missing"}, 1, "No such file or directory"},
      {{"-a", home_.path() + "/plain-dir"}, 1, "not an application bundle"},
      {{"-a", home_.path() + "/not-executable"}, 1, "could not start"},
      {{}, 2, "give either -a PATH or -b ID"},
      {{"-g"}, 2, "give either -a PATH or -b ID"},
      {{"-a", "x", "-b", "y"}, 2, "give either -a PATH or -b ID"},
      {{"-a"}, 2, "-a needs a value"},
      {{"-e", "file"}, 2, "unknown argument: -e"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto [status, err] = run(c.args);
    EXPECT_EQ(status, c.status);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  EXPECT_TRUE(programs_.starts().empty());
}

// --version and --help as the only argument answer on standard output and start nothing.
TEST_F(Open, VersionAndHelpStartNothing) {
  for (const auto& [arg, answer] : {std::pair{"--version", "karvo-open "}, std::pair{"--help", "usage: karvo-open"}}) {
    Child open({testkit::bin("karvo-open"), arg}, test_env(home_), home_.path());
    EXPECT_TRUE(open.read_until_eof(30s).starts_with(answer)) << arg;
    EXPECT_EQ(open.wait_exit(30s), 0) << arg;
  }
  EXPECT_TRUE(programs_.starts().empty());
}

}  // namespace
}  // namespace karvo::launchtest
