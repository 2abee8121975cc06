// Starting the application when the greeting allows it, and the application's identity, through the
// stand-in extension host. The bundles are laid out as on a Mac; their executable is a copy of the
// stand-in application, which takes its test options from KARVO_STANDIN_ARGS.
#include <signal.h>

#include <chrono>
#include <string>

#include "extension_host.h"

namespace karvo::safari::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kLaunchingPoll = R"({"op":"poll","hello":{"type":"hello","launch":true}})";

class SafariLaunch : public ::testing::Test {
 protected:
  ~SafariLaunch() override {
    // The launched stand-in runs detached from the extension host: end it by its recorded id.
    if (const auto pid = testkit::read_file(pidFile_)) {
      const long id = std::strtol(pid->c_str(), nullptr, 10);
      if (id > 0) ::kill(static_cast<pid_t>(id), SIGTERM);
      testkit::wait_until([&] { return !testkit::path_exists(pidFile_); }, 5s);
    }
  }

  // An application bundle whose executable is the stand-in application.
  std::string makeApp(const std::string& relative, const std::string& identifier = "com.karvo.app") {
    const std::string path = home_.path() + "/" + relative;
    makeBundle(path, {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", "Karvo"}});
    EXPECT_TRUE(testkit::install_program(testkit::bin("karvo-standin-app"), path + "/Contents/MacOS/Karvo"));
    return path;
  }

  // The extension bundle inside `container`, with its own Info.plist.
  std::string makeExtension(const std::string& container, const std::string& extraXml = "") {
    const std::string appex = container + "/Contents/PlugIns/KarvoSafari.appex";
    makeBundle(appex, {{"CFBundleIdentifier", "com.karvo.app.safari-extension"}}, extraXml);
    return appex;
  }

  std::vector<std::string> standinEnv(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> args = {"--events", events_, "--pid-file", pidFile_, "--exit-after", "60"};
    args.insert(args.end(), more.begin(), more.end());
    return {testkit::standin_args_env(args)};
  }

  std::string launchedEvents() const { return testkit::read_file(events_).value_or(""); }

  void writeStaleEndpoint(const std::string& exe) const {
    ASSERT_TRUE(home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) +
                                R"(,"token":"stale","exe":)" + Json(exe).dump() + "}"));
  }

  testkit::ScratchHome home_;
  std::string events_ = home_.path() + "/launched.events";
  std::string pidFile_ = home_.path() + "/launched.pid";
};

TEST_F(SafariLaunch, OpensTheContainingApplicationInTheBackground) {
  const std::string container = makeApp("Applications/Karvo.app");
  // Also present, but never tried: the hint's bundle (with no executable) and a registered copy.
  makeBundle(home_.path() + "/Hint.app", {{"CFBundleIdentifier", "com.karvo.app"}});
  writeStaleEndpoint(home_.path() + "/Hint.app/Contents/MacOS/Karvo");
  ExtensionHost host(home_, {"--bundle", makeExtension(container), "--registered-app",
                             "com.karvo.app=" + home_.path() + "/Hint.app"},
                     standinEnv());
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  const Json reply = host.replyTo(1);
  ASSERT_EQ(reply["ok"], true) << reply << host.log();
  ASSERT_EQ(reply["messages"].size(), 1U) << reply;
  EXPECT_EQ(reply["messages"][0]["type"], "hello");
  const std::string events = launchedEvents();
  EXPECT_TRUE(events.starts_with("args --background\n")) << events;
  EXPECT_EQ(host.log().find("starting Karvo failed"), std::string::npos) << host.log();
}

TEST_F(SafariLaunch, OpensTheHintsBundleWhenTheContainerIsAnotherApplication) {
  const std::string container = makeApp("Applications/Other.app", "com.example.other");
  const std::string hinted = makeApp("Apps/Karvo.app");
  writeStaleEndpoint(hinted + "/Contents/MacOS/Karvo");
  ExtensionHost host(home_, {"--bundle", makeExtension(container)}, standinEnv());
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
  EXPECT_TRUE(launchedEvents().starts_with("args --background\n"));
}

TEST_F(SafariLaunch, OpensTheRegisteredApplicationLast) {
  const std::string registered = makeApp("Registered/Karvo.app");
  writeStaleEndpoint("/nonexistent/Karvo.app/Contents/MacOS/Karvo");
  ExtensionHost host(home_, {"--registered-app", "com.karvo.app=" + registered}, standinEnv());
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
  EXPECT_TRUE(launchedEvents().starts_with("args --background\n"));
}

TEST_F(SafariLaunch, NothingToOpenEndsUnavailableAfterTheLaunchWait) {
  ExtensionHost host(home_, {}, {}, /*shortWaits=*/true);
  const auto start = Clock::now();
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1), unavailable());
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 1.5);
  ASSERT_TRUE(host.finish());
  const std::string log = host.log();
  const auto notFound = log.find("com.karvo.safari-extension relay error: Karvo.app not found\n");
  const auto tooLate = log.find("com.karvo.safari-extension relay error: Karvo did not start in time\n");
  EXPECT_NE(notFound, std::string::npos) << log;
  EXPECT_NE(tooLate, std::string::npos) << log;
  EXPECT_LT(notFound, tooLate);
  EXPECT_NE(log.find("relay info: poll [] → failed(app-unavailable) [error]\n"), std::string::npos) << log;
}

TEST_F(SafariLaunch, AFailedOpenIsLoggedAndTheRelayKeepsWaiting) {
  // The registered bundle exists but names no executable.
  makeBundle(home_.path() + "/Broken.app", {{"CFBundleIdentifier", "com.karvo.app"}});
  ExtensionHost host(home_, {"--registered-app", "com.karvo.app=" + home_.path() + "/Broken.app"}, {},
                     /*shortWaits=*/true);
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1), unavailable());
  ASSERT_TRUE(host.finish());
  EXPECT_NE(host.log().find("relay error: starting Karvo failed: The application at " + home_.path() +
                            "/Broken.app cannot be opened"),
            std::string::npos)
      << host.log();
  EXPECT_NE(host.log().find("Karvo did not start in time"), std::string::npos);
}

TEST_F(SafariLaunch, TheApplicationIdentifierComesFromTheExtensionsBundle) {
  const std::string custom = "com.example.karvo-beta";
  const std::string container = makeApp("Applications/Beta.app", custom);
  const std::string appex = makeExtension(container, "  <key>KarvoAppID</key><string>" + custom + "</string>\n");
  {
    // The endpoint file is looked for under that identifier's data directory.
    testkit::StandinApp app(home_, {"--app-id", custom});
    ASSERT_TRUE(app.ok());
    ExtensionHost host(home_, {"--bundle", appex});
    ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
    EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
  }
  // And the containing application counts only when its identifier is that one.
  ExtensionHost host(home_, {"--bundle", appex}, standinEnv({"--app-id", custom}));
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
  EXPECT_TRUE(launchedEvents().starts_with("args --background\n"));
}

TEST_F(SafariLaunch, TheContainersIdentifierMustMatchByteForByte) {
  // Canonically equivalent is not the same identifier: the decomposed form names another application.
  const std::string container = makeApp("Applications/Cafe.app", "com.example.cafe\u0301");
  const std::string appex =
      makeExtension(container, "  <key>KarvoAppID</key><string>com.example.caf\u00e9</string>\n");
  ExtensionHost host(home_, {"--bundle", appex}, standinEnv(), /*shortWaits=*/true);
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(1), unavailable());
  ASSERT_TRUE(host.finish());
  EXPECT_NE(host.log().find("relay error: Karvo.app not found\n"), std::string::npos) << host.log();
  EXPECT_EQ(launchedEvents(), "");
}

TEST_F(SafariLaunch, AnIdentifierEntryThatIsNotTextIsIgnored) {
  const std::string appex =
      makeExtension(home_.path() + "/Nowhere.app", "  <key>KarvoAppID</key><integer>5</integer>\n");
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home_, {"--bundle", appex});
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
}

TEST_F(SafariLaunch, AUserEntryWithoutHomeFallsBackToTheProcessHome) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home_, {"--user-home-missing", "--process-home", home_.path()});
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  EXPECT_EQ(host.replyTo(1)["ok"], true) << host.log();
}

}  // namespace
}  // namespace karvo::safari::blackbox
