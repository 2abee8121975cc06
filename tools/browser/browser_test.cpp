// karvo-browser against stand-ins for a host: cat (which sends every frame back), a program that fails
// at once, and one that does not end when its input does.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "manifest.h"
#include "testkit.h"

namespace karvo::testkit {
namespace {

using namespace std::chrono_literals;
// Waits that end as soon as what they wait for happens; generous for loaded machines.
constexpr auto kWait = 30s;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (auto nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(KarvoBrowser, SendsFramesAndShowsWhatComesBack) {
  Child browser({bin("karvo-browser"), "--host", "/bin/cat", "--hold", "0", "--", R"({"id":1})",
                 "{\"text\":\"a\nb\"}"});
  const auto lines = lines_of(browser.read_until_eof(kWait));
  EXPECT_EQ(browser.wait_exit(kWait), 0);
  EXPECT_TRUE(contains(lines, R"(→ host  {"id":1})"));
  EXPECT_TRUE(contains(lines, R"(← host  {"id":1})"));
  EXPECT_TRUE(contains(lines, R"(← host  {"text":"a\x0ab"})"));
  EXPECT_TRUE(contains(lines, "browser closes the host's input"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "host exited with status 0");
}

TEST(KarvoBrowser, InteractiveMessagesFromStandardInput) {
  Child browser({bin("karvo-browser"), "--host", "/bin/cat", "--interactive", "--hold", "0"});
  ASSERT_TRUE(browser.write_all("{\"n\":1}\n\n{\"n\":2}\r\n"));
  EXPECT_EQ(browser.read_line(kWait), R"(→ host  {"n":1})");
  browser.close_stdin();
  const auto lines = lines_of(browser.read_until_eof(kWait));
  EXPECT_TRUE(contains(lines, R"(← host  {"n":1})"));
  EXPECT_TRUE(contains(lines, R"(→ host  {"n":2})"));
  EXPECT_TRUE(contains(lines, R"(← host  {"n":2})"));
  EXPECT_EQ(browser.wait_exit(kWait), 0);
}

TEST(KarvoBrowser, ReportsTheHostsErrorsAndStatus) {
  Child failing({bin("karvo-browser"), "--host", "/bin/sleep", "{}"});
  const auto lines = lines_of(failing.read_until_eof(kWait));
  EXPECT_EQ(failing.wait_exit(kWait), 1);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("host stderr: /bin/sleep: ", 0) == 0; }));
  EXPECT_EQ(lines.back(), "host exited with status 1");

  // echo writes one line feed: no frame, one stray byte.
  Child stray({bin("karvo-browser"), "--host", "/bin/echo", "{}"});
  EXPECT_TRUE(contains(lines_of(stray.read_until_eof(kWait)), "host output ended inside a frame; bytes left over: 1"));
  EXPECT_EQ(stray.wait_exit(kWait), 0);

  Child missing({bin("karvo-browser"), "--host", "/nonexistent/karvo-host", "{}"});
  EXPECT_EQ(missing.wait_exit(kWait), 127);
  EXPECT_TRUE(missing.wait_stderr("cannot start /nonexistent/karvo-host", kWait));

  Child usage({bin("karvo-browser"), "--hold"});
  EXPECT_EQ(usage.wait_exit(kWait), 2);
  Child version({bin("karvo-browser"), "--version"});
  EXPECT_TRUE(version.read_until_eof(kWait).starts_with("karvo-browser "));
}

// --as: the host named by the registered manifest, started with the arguments and in the folder that the
// browser uses; replies that a browser would reject are marked.
TEST(KarvoBrowser, StartsTheHostAsABrowserWould) {
  ScratchHome home;
  const std::string host = home.path() + "/opt/k/karvo-host";
  ASSERT_TRUE(write_file(host, "#!/bin/sh\necho \"args: $*\" >&2\necho \"cwd: $(pwd)\" >&2\nexec cat\n", 0755));
  const std::string origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
  const std::string chromium = home.path() + "/.config/chromium/NativeMessagingHosts/com.karvo.bridge.json";
  const std::string firefox = home.path() + "/.mozilla/native-messaging-hosts/com.karvo.bridge.json";
  ASSERT_TRUE(write_file(chromium, reg::manifest_text(reg::Family::chromium, host, {origin})));
  ASSERT_TRUE(write_file(firefox, reg::manifest_text(reg::Family::firefox, host, {"bridge@karvo.com"})));
  const auto env = home.env({"XDG_CONFIG_HOME="});

  struct Row {
    std::vector<std::string> as;
    std::string args;
  };
  for (const Row& r : {Row{{"--as", "chromium", "--origin", origin}, origin},
                       Row{{"--as", "firefox", "--extension-id", "bridge@karvo.com"}, firefox + " bridge@karvo.com"}}) {
    std::vector<std::string> argv{bin("karvo-browser"), "--hold", "0"};
    argv.insert(argv.end(), r.as.begin(), r.as.end());
    argv.insert(argv.end(), {"--", R"({"id":1})", "not json"});
    Child browser(argv, env);
    const auto lines = lines_of(browser.read_until_eof(kWait));
    EXPECT_EQ(browser.wait_exit(kWait), 0);
    EXPECT_TRUE(contains(lines, "host stderr: args: " + r.args)) << r.args;
    EXPECT_TRUE(contains(lines, "host stderr: cwd: " + home.path() + "/opt/k")) << r.args;
    EXPECT_TRUE(contains(lines, R"(← host  {"id":1})"));
    EXPECT_TRUE(contains(lines, "✗ a browser rejects this message and disconnects: not JSON text in UTF-8"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("✗"); }), 1);
  }
  // An extension that the manifest does not allow: the browser starts nothing.
  Child refused({bin("karvo-browser"), "--as", "firefox", "--extension-id", "other@karvo.com", "{}"}, env);
  EXPECT_EQ(refused.wait_exit(kWait), 1);
  EXPECT_TRUE(refused.wait_stderr("Firefox would not start the host: " + firefox + " does not allow other@karvo.com",
                                  kWait));
}

TEST(KarvoBrowser, StopsAHostThatOutlivesItsInput) {
  // The stand-in application ignores the end of its input.
  ScratchHome home;
  Child browser({bin("karvo-browser"), "--host", bin("karvo-standin-app"), "--home", home.path(), "--hold", "0",
                 "--timeout", "300", "{}"});
  const auto lines = lines_of(browser.read_until_eof(kWait));
  EXPECT_EQ(browser.wait_exit(kWait), 124);
  EXPECT_TRUE(contains(lines, "host still running after 300 ms; stopping it"));
}

}  // namespace
}  // namespace karvo::testkit
