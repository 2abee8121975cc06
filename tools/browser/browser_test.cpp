// karvo-browser against stand-ins for a host: cat (which sends every frame back), a program that fails
// at once, and one that does not end when its input does.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
