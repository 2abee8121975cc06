// KarvoSafari against the things that could trick it: the token never reaches a reply or the log, nothing
// that the application says before accepting the token reaches the extension, a bundle path is never
// handed to a shell, and no descriptor of the extension reaches the application that it starts.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "extension_host.h"

#ifndef KARVO_SANITIZE_BUILD
#define KARVO_SANITIZE_BUILD ""
#endif

namespace karvo::safari::blackbox {
namespace {

const std::string kToken = R"(tok"en\TOKEN-7f3a9c-é)";
const std::string kTokenCore = "TOKEN-7f3a9c";

// The request that may start the application.
const char* const kLaunchingPoll = R"({"op":"poll","hello":{"type":"hello","launch":true}})";

std::string xmlEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

// Descriptor number -> what it refers to, for a running process.
std::map<int, std::string> descriptors(pid_t pid) {
  std::map<int, std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_ec;
    out[std::stoi(entry.path().filename().string())] = std::filesystem::read_symlink(entry.path(), link_ec).string();
  }
  return out;
}

TEST(SafariSecurity, TheTokenNeverReachesAReplyOrTheLog) {
  struct Scenario {
    const char* name;
    std::vector<std::string> appOptions;
    std::vector<const char*> requests;
  };
  const std::string quoted = Json(kToken).dump();
  const Scenario scenarios[] = {
      {"exchange",
       {},
       {R"({"op":"send","hello":{"type":"hello"},"msg":{"type":"ping","id":"r1"}})", R"({"op":"poll"})",
        R"({"op":"close"})", R"({"op":"poll"})"}},
      {"token refused", {"--refuse-all"}, {R"({"op":"poll","hello":{"type":"hello"}})"}},
      {"refusal that quotes the token",
       {"--auth-reply", R"({"type":"auth","ok":false,"token":)" + quoted + "}"},
       {R"({"op":"poll","hello":{"type":"hello"}})"}},
      // Said before the acceptance: never handed to the extension.
      {"acceptance after a line that quotes the token",
       {"--auth-reply", R"({"type":"note","token":)" + quoted + "}\n" + R"({"type":"auth","ok":true})"},
       {R"({"op":"poll","hello":{"type":"hello"}})"}},
      {"launch allowed, token refused", {"--refuse-all"}, {kLaunchingPoll}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    testkit::ScratchHome home;
    std::vector<std::string> options = {"--token", kToken};
    options.insert(options.end(), s.appOptions.begin(), s.appOptions.end());
    testkit::StandinApp app(home, options);
    ASSERT_TRUE(app.ok());
    ExtensionHost host(home, {}, {}, /*shortWaits=*/true);
    int n = 0;
    for (const char* request : s.requests) ASSERT_TRUE(host.request(++n, message(request)));
    EXPECT_EQ(host.finish(), 0);
    // The application got the token: it was in play.
    EXPECT_TRUE(app.wait_event([](std::string_view e) { return e.starts_with("recv 1 ") && e.find(kTokenCore) != e.npos; }));
    const std::string replies = host.process().read_until_eof(5s);
    host.process().sync_output();
    const std::string written = replies + host.log();
    EXPECT_GE(std::count(written.begin(), written.end(), '\n'), static_cast<long>(s.requests.size())) << written;
    EXPECT_EQ(written.find(kTokenCore), std::string::npos) << written.substr(0, 4000);
  }
}

// An endpoint file that is a pipe without a writer, a device that never ends, or a file far larger than any
// real one must not hang the relay or fill its memory: it counts as missing (the application is
// unavailable), even when it names a running application.
TEST(SafariSecurity, EndpointThatIsNoSmallRegularFileCountsAsMissing) {
  for (const auto& [kind, name] : testkit::kUnusableEndpoints) {
    SCOPED_TRACE(name);
    testkit::ScratchHome home;
    testkit::StandinApp app(home);
    ASSERT_TRUE(app.ok());
    const std::string ipc = home.ipc_path();
    const std::string valid = Json{{"port", app.port()}, {"token", app.token()}}.dump();
    ASSERT_TRUE(testkit::plant_unusable_endpoint(ipc, kind, valid));
    ExtensionHost host(home, {});
    // Under a memory limit far below the file's size (not under a sanitizer, whose shadow memory needs
    // more address space than that): the file is judged, not read.
    if (std::string_view(KARVO_SANITIZE_BUILD).empty()) {
      const rlimit limit{512u << 20, 512u << 20};
      ASSERT_EQ(::prlimit(host.process().pid(), RLIMIT_AS, &limit, nullptr), 0);
    }
    ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
    EXPECT_EQ(host.replyTo(1, 10s), unavailable());
    EXPECT_EQ(app.count_events([](std::string_view e) { return e.starts_with("accepted "); }), 0u);
  }
}

// Started with its standard error closed, the extension host must not let a link to the application take
// that number: the trace lines would go to the application.
TEST(SafariSecurity, AClosedStandardErrorNeverLeadsIntoTheLink) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {}, {}, false, testkit::Stdio::closed);
  ASSERT_TRUE(host.request(1, message(R"({"op":"send","hello":{"type":"hello"},"msg":{"type":"ping","id":"r1"}})")));
  ASSERT_EQ(host.replyTo(1)["ok"], true);
  ASSERT_TRUE(host.request(2, message(R"({"op":"send","msg":{"type":"ping","id":"r2"}})")));
  ASSERT_EQ(host.replyTo(2)["ok"], true);
  // The authentication, the greeting and the two messages, and nothing between them.
  const std::vector<std::string> lines = receivedLines(app, 1, 4);
  ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[1].find("hello"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("r1"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("r2"), std::string::npos) << lines[3];
  EXPECT_EQ(host.finish(), 0);
}

// Whoever reads the extension host's output may go away: its replies then fail to be written, and it still
// ends as usual at the end of its input, not by the broken-pipe signal.
TEST(SafariSecurity, AClosedOutputNeverEndsTheExtensionHost) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  host.process().close_stdout();
  ASSERT_TRUE(host.request(1, message(R"({"op":"send","hello":{"type":"hello"},"msg":{"type":"ping","id":"r1"}})")));
  ASSERT_TRUE(host.request(2, message(R"({"op":"send","msg":{"type":"ping","id":"r2"}})")));
  EXPECT_EQ(host.finish(), 0);
  EXPECT_EQ(receivedLines(app, 1, 4).size(), 4u);  // both were relayed though their replies were lost
}

// Starting the application from a hint, as the extension does when the greeting allows it.
class SafariLaunchSecurity : public ::testing::Test {
 protected:
  ~SafariLaunchSecurity() override {
    // The launched stand-in runs detached from the extension host: end it by its recorded id.
    if (const pid_t pid = launchedPid(); pid > 0) {
      ::kill(pid, SIGTERM);
      testkit::wait_until([&] { return !testkit::path_exists(pidFile_); }, 5s);
    }
  }

  // An application bundle at `bundle` whose executable `name` is the stand-in application, named by the
  // hint of a stale endpoint file; the extension's own container is another application.
  void installHintedApp(const std::string& bundle, const std::string& name) {
    makeBundle(bundle, {{"CFBundleIdentifier", "com.karvo.app"}, {"CFBundleExecutable", xmlEscaped(name)}});
    executable_ = bundle + "/Contents/MacOS/" + name;
    ASSERT_TRUE(testkit::install_program(testkit::bin("karvo-standin-app"), executable_));
    ASSERT_TRUE(home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) + R"(,"token":"stale","exe":)" +
                                Json(bundle + "/Contents/MacOS/Karvo").dump() + "}"));
    const std::string container = home_.path() + "/Applications/Other.app";
    makeBundle(container, {{"CFBundleIdentifier", "com.example.other"}});
    appex_ = makeBundle(container + "/Contents/PlugIns/KarvoSafari.appex",
                        {{"CFBundleIdentifier", "com.karvo.app.safari-extension"}});
  }

  std::vector<std::string> standinEnv() const {
    return {testkit::standin_args_env({"--events", events_, "--pid-file", pidFile_, "--exit-after", "60"})};
  }

  pid_t launchedPid() const {
    const auto text = testkit::read_file(pidFile_);
    return text ? static_cast<pid_t>(std::strtol(text->c_str(), nullptr, 10)) : 0;
  }

  testkit::ScratchHome home_;
  std::string events_ = home_.path() + "/launched.events";
  std::string pidFile_ = home_.path() + "/launched.pid";
  std::string executable_;
  std::string appex_;
};

TEST_F(SafariLaunchSecurity, NoShellStartsTheApplication) {
  const std::string odd = R"(it's "odd"; $(touch pwned) `touch pwned` & | > < * ? ~ {a,b} #)";
  installHintedApp(home_.path() + "/Apps/" + odd + ".app", "Karvo " + odd);
  ExtensionHost host(home_, {"--bundle", appex_}, standinEnv());
  ASSERT_TRUE(host.request(1, message(kLaunchingPoll)));
  const Json reply = host.replyTo(1);
  EXPECT_EQ(reply["ok"], true) << reply << host.log();
  // Exactly that file ran, with exactly the one argument.
  EXPECT_TRUE(testkit::read_file(events_).value_or("").starts_with("args --background\n"));
  ASSERT_GT(launchedPid(), 0);
  std::error_code ec;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(launchedPid()) + "/exe", ec).string(),
            executable_);
  EXPECT_FALSE(testkit::path_exists("pwned"));  // the extension host's working directory
  EXPECT_FALSE(testkit::path_exists(home_.path() + "/pwned"));
}

TEST_F(SafariLaunchSecurity, NoDescriptorReachesTheStartedApplication) {
  // A descriptor that the extension's own host process leaks to it (not close-on-exec).
  const std::string leaked = home_.path() + "/leaked";
  ASSERT_TRUE(testkit::write_file(leaked, "secret"));
  testkit::OwnedFd file(::open(leaked.c_str(), O_RDONLY));
  ASSERT_TRUE(file);
  installHintedApp(home_.path() + "/Apps/Karvo.app", "Karvo");

  // One profile linked to a running application, whose link stays open in the extension after the
  // application has gone.
  auto running = std::make_unique<testkit::StandinApp>(home_);
  ASSERT_TRUE(running->ok());
  ExtensionHost host(home_, {"--bundle", appex_}, standinEnv());
  const Json linkedProfile = {{"uuid", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}};
  Json first = message(R"({"op":"poll","hello":{"type":"hello"}})");
  first["profile"] = linkedProfile;
  ASSERT_TRUE(host.request(1, first));
  ASSERT_EQ(host.replyTo(1)["ok"], true);
  running.reset();
  ASSERT_TRUE(home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) + R"(,"token":"stale","exe":)" +
                              Json(home_.path() + "/Apps/Karvo.app/Contents/MacOS/Karvo").dump() + "}"));

  // What the extension holds now, its standard streams aside.
  std::set<std::string> held;
  for (const auto& [fd, target] : descriptors(host.process().pid())) {
    if (fd > 2) held.insert(target);
  }
  ASSERT_TRUE(held.count(leaked)) << "the extension host did not inherit the descriptor";
  ASSERT_TRUE(std::any_of(held.begin(), held.end(), [](const std::string& t) { return t.starts_with("socket:"); }));

  // Another profile starts the application.
  ASSERT_TRUE(host.request(2, message(kLaunchingPoll)));
  EXPECT_EQ(host.replyTo(2)["ok"], true) << host.log();
  const pid_t launched = launchedPid();
  ASSERT_GT(launched, 0);
  for (const auto& [fd, target] : descriptors(launched)) {
    if (fd <= 2) {
      EXPECT_EQ(target, "/dev/null") << fd;
    } else {
      EXPECT_EQ(held.count(target), 0U) << "descriptor " << fd << " of the application: " << target;
    }
  }
}

}  // namespace
}  // namespace karvo::safari::blackbox
