// karvo-host in real headless browsers: the test agent extension connects through the registered host
// to the stand-in application, in Debian's Chromium and in Firefox ESR. A browser that is missing or
// does not start fails the test: run scripts/install-browsers.sh first.
#include <gtest/gtest.h>
#include <signal.h>

#include <charconv>
#include <memory>

#include "browser_session.h"
#include "testkit.h"

namespace karvo::browsertest {

// Test names end in the browser's name; so does their parameter.
void PrintTo(BrowserKind kind, std::ostream* os) { *os << kind_name(kind); }

namespace {

using namespace std::chrono_literals;
using testkit::ScratchHome;
using testkit::StandinApp;

constexpr std::size_t kMaxAppMessage = 1048576;

// An application line of exactly `size` bytes: {"id":"<id>","pad":"xxx..."}.
std::string app_line(std::string_view id, std::size_t size) {
  std::string line = R"({"id":")" + std::string(id) + R"(","pad":")";
  line.append(size - line.size() - 2, 'x');
  return line + "\"}";
}

class RealBrowser : public ::testing::TestWithParam<BrowserKind> {
 protected:
  void TearDown() override {
    browser_.reset();
    // A stand-in that a host started lives outside our process groups.
    if (const std::optional<std::string> pid = testkit::read_file(launched_pid_file())) {
      int value = 0;
      std::from_chars(pid->data(), pid->data() + pid->size(), value);
      if (value > 0) ::kill(value, SIGKILL);
    }
  }

  void start_browser(const std::vector<std::string>& extra_env = {}, Sandbox sandbox = Sandbox::none) {
    browser_ = std::make_unique<BrowserSession>(GetParam(), home_, server_, extra_env, sandbox);
    ASSERT_EQ(browser_->error(), "") << "the real-browser tests need " << kind_name(GetParam());
  }
  void start_app(std::vector<std::string> options = {}) {
    app_ = std::make_unique<StandinApp>(home_, std::move(options));
    ASSERT_TRUE(app_->ok());
  }

  // After a fatal failure (no browser, no application) the steps below do nothing, so the test ends
  // at once instead of waiting out every step.
  void run(Json command) {
    if (HasFatalFailure()) return;
    ASSERT_TRUE(browser_->run(std::move(command))) << diagnostics();
  }
  void connect(const std::string& port) { run({{"op", "connect"}, {"port", port}}); }
  void post(Json message, const std::string& port) {
    run({{"op", "post"}, {"port", port}, {"message", std::move(message)}});
  }
  // Posts `message` with a member "pad" of `bytes` letters, made inside the browser.
  void post_padded(Json message, std::size_t bytes, const std::string& port) {
    run({{"op", "post_padded"}, {"port", port}, {"message", std::move(message)}, {"bytes", bytes}});
  }

  // The extension's report of a message from the host whose "id" is `id`.
  Json expect_message(const Json& id, Ms timeout, const std::string& port) {
    if (HasFatalFailure()) return Json::object();
    const std::optional<Json> r = server_.wait_report(
        [&](const Json& e) {
          return e.value("event", "") == "message" && e.value("port", "") == port && e.contains("id") && e["id"] == id;
        },
        timeout);
    EXPECT_TRUE(r) << "no message with id " << id << "; " << diagnostics();
    return r.value_or(Json::object());
  }
  std::optional<Json> wait_disconnect(Ms timeout, const std::string& port) {
    if (HasFatalFailure()) return std::nullopt;
    return server_.wait_report(
        [&](const Json& e) { return e.value("event", "") == "disconnect" && e.value("port", "") == port; }, timeout);
  }

  std::string diagnostics() {
    std::string text = "reports:\n";
    for (const Json& r : server_.reports()) text += "  " + r.dump().substr(0, 300) + "\n";
    if (browser_) text += "browser output:\n" + browser_->log();
    if (app_) {
      text += "application events:\n";
      for (const std::string& e : app_->events()) text += "  " + e.substr(0, 300) + "\n";
    }
    return text;
  }
  std::string launched_pid_file() const { return home_.path() + "/launched-app.pid"; }
  std::string launched_events() const { return home_.path() + "/launched-app.events"; }

  ScratchHome home_;
  ReportServer server_;
  std::unique_ptr<StandinApp> app_;
  std::unique_ptr<BrowserSession> browser_;  // last: ends first
};

// With the application running: round trips, messages at and over the size limit one way and of
// several MiB the other way, and the ports closing when the application quits. One browser start for
// all of it, since starting one is what takes time.
TEST_P(RealBrowser, RelayWhileTheApplicationRuns) {
  ASSERT_NO_FATAL_FAILURE(start_app());
  ASSERT_NO_FATAL_FAILURE(start_browser());

  // A round trip with an "id"; the host passes the message on as its first line, keys in order.
  connect("a");
  post({{"type", "ping"}, {"id", "r1"}, {"text", "h\u00e9llo"}}, "a");
  const Json reply = expect_message("r1", 20s, "a");
  ASSERT_TRUE(reply.contains("message")) << reply.dump();
  EXPECT_EQ(reply["message"]["type"], "reply");
  EXPECT_EQ(reply["message"]["echo"], Json({{"id", "r1"}, {"text", "h\u00e9llo"}, {"type", "ping"}}));
  ASSERT_TRUE(app_->wait_event("recv 1 "));
  EXPECT_EQ(app_->received(1).at(1), R"({"id":"r1","text":"héllo","type":"ping"})");

  // A second port is a second host process with a link of its own.
  connect("b");
  post({{"id", "r2"}}, "b");
  EXPECT_EQ(expect_message("r2", 20s, "b")["message"]["echo"], Json({{"id", "r2"}}));

  // Application messages: exactly 1 MiB arrives; one byte more is replaced by "too-large", in order.
  ASSERT_TRUE(app_->send(1, app_line("fits", kMaxAppMessage)));
  ASSERT_TRUE(app_->send(1, app_line("over", kMaxAppMessage + 1)));
  const Json fits = expect_message("fits", 20s, "a");
  EXPECT_EQ(fits.value("length", 0u), kMaxAppMessage);
  const Json over = expect_message("over", 20s, "a");
  EXPECT_EQ(over["message"], Json({{"error", "too-large"}, {"id", "over"}, {"type", "error"}}));
  std::size_t fits_at = 0, over_at = 0, i = 0;
  for (const Json& r : server_.reports()) {
    ++i;
    if (r.value("event", "") != "message") continue;
    if (r["id"] == "fits") fits_at = i;
    if (r["id"] == "over") over_at = i;
  }
  EXPECT_LT(fits_at, over_at);

  // Browser messages of several MiB reach the application whole and in order.
  const std::size_t sizes[] = {2u << 20, 5u << 20};
  post_padded({{"type", "bulk"}, {"n", 1}}, sizes[0], "a");
  post_padded({{"type", "bulk"}, {"n", 2}}, sizes[1], "a");
  post({{"id", "after"}}, "a");
  expect_message("after", 60s, "a");
  ASSERT_TRUE(app_->wait_event(R"(recv 1 {"id":"after"})", 20s));
  const std::vector<std::string> lines = app_->received(1);
  ASSERT_EQ(lines.size(), 5u);  // the authentication, r1, the two big ones, "after"
  for (std::size_t k = 0; k < 2; ++k) {
    const std::string head = R"({"n":)" + std::to_string(k + 1) + R"(,"pad":")";
    const std::string& line = lines[k + 2];
    ASSERT_EQ(line.size(), sizes[k] + 30) << k;
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.find_first_not_of('x', head.size()), head.size() + sizes[k]);
    EXPECT_EQ(line.substr(head.size() + sizes[k]), R"(","type":"bulk"})");
  }
  EXPECT_EQ(lines[4], R"({"id":"after"})");

  // The application quits: both hosts end, and both ports disconnect.
  EXPECT_FALSE(wait_disconnect(0ms, "a"));
  ASSERT_EQ(app_->stop(), 0);
  EXPECT_TRUE(wait_disconnect(20s, "a")) << diagnostics();
  EXPECT_TRUE(wait_disconnect(20s, "b")) << diagnostics();
}

// Without the application: "app-unavailable" and the port closing; then a first message with
// "launch": true starts it from the endpoint file's "exe" hint (this needs the launcher).
TEST_P(RealBrowser, UnavailableThenLaunched) {
  ASSERT_NO_FATAL_FAILURE(
      start_browser({testkit::standin_args_env({"--pid-file", launched_pid_file(), "--events", launched_events()})}));

  connect("a");
  post({{"id", "u1"}, {"type", "ping"}}, "a");
  EXPECT_EQ(expect_message("u1", 20s, "a")["message"],
            Json({{"error", "app-unavailable"}, {"id", "u1"}, {"type", "error"}}));
  EXPECT_TRUE(wait_disconnect(20s, "a")) << diagnostics();  // the host ends two seconds later

  ASSERT_TRUE(home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) +
                              R"(,"token":"left-over","exe":")" + testkit::bin("karvo-standin-app") + R"("})"));
  connect("b");
  post({{"launch", true}, {"id", "L1"}}, "b");
  const Json reply = expect_message("L1", 60s, "b");
  EXPECT_EQ(reply["message"]["echo"], Json({{"id", "L1"}, {"launch", true}}));
  const std::string started = testkit::read_file(launched_events()).value_or("");
  EXPECT_NE(started.find("--background"), std::string::npos) << started;
  EXPECT_FALSE(testkit::path_exists(home_.data_dir() + "/launch.lock"));
  EXPECT_FALSE(wait_disconnect(0ms, "b"));
}

// Chromium in a Flatpak's view of the system, karvo-host put inside its sandbox by karvo-register: the
// host reaches the application through the data directory that the app's override grants, and without
// the override it answers "app-unavailable", which karvo-doctor explains.
TEST_P(RealBrowser, HostInsideAFlatpakSandbox) {
  if (GetParam() != BrowserKind::chromium) GTEST_SKIP() << "the Flatpak view is made for Chromium";
  if (!sandbox_available()) GTEST_SKIP() << "bubblewrap cannot make the namespaces of a sandbox here";
  ASSERT_NO_FATAL_FAILURE(start_app());
  ASSERT_NO_FATAL_FAILURE(start_browser({}, Sandbox::flatpak));
  connect("a");
  post({{"id", "s1"}, {"type", "ping"}}, "a");
  EXPECT_EQ(expect_message("s1", 30s, "a")["message"]["echo"], Json({{"id", "s1"}, {"type", "ping"}}));
  browser_.reset();

  ASSERT_NO_FATAL_FAILURE(start_browser({}, Sandbox::flatpak_without_override));
  connect("b");
  post({{"id", "s2"}}, "b");
  EXPECT_EQ(expect_message("s2", 30s, "b")["message"],
            Json({{"error", "app-unavailable"}, {"id", "s2"}, {"type", "error"}}));
  browser_.reset();

  testkit::Child doctor({testkit::bin("karvo-doctor"), "--browser", "chromium", "--origin",
                         std::string(kChromiumAgentOrigin)},
                        home_.env({"XDG_CONFIG_HOME=" + home_.path() + "/.config", "XDG_DATA_HOME=",
                                   "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR="}));
  const std::string said = doctor.read_until_eof(30s);
  EXPECT_EQ(doctor.wait_exit(30s), 1) << said;
  EXPECT_NE(said.find("problem: Chromium (Flatpak org.chromium.Chromium): the host inside the sandbox"),
            std::string::npos) << said;
  EXPECT_NE(said.find("cannot read Karvo's data directory"), std::string::npos) << said;
}

INSTANTIATE_TEST_SUITE_P(Browsers, RealBrowser, ::testing::Values(BrowserKind::chromium, BrowserKind::firefox),
                         [](const ::testing::TestParamInfo<BrowserKind>& param) {
                           return std::string(kind_name(param.param));
                         });

}  // namespace
}  // namespace karvo::browsertest
