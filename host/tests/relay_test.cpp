// karvo-host in relay mode, against the stand-in application.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host_driver.h"

namespace karvo::hosttest {
namespace {

class Relay : public ::testing::Test {
 protected:
  void start(std::vector<std::string> app_options = {}) {
    app_ = std::make_unique<StandinApp>(home_, std::move(app_options));
    ASSERT_TRUE(app_->ok());
  }
  ScratchHome home_;
  std::unique_ptr<StandinApp> app_;
};

TEST_F(Relay, RoundTripWithBrowserArgumentsIgnored) {
  start();
  // Firefox passes the manifest path and the extension id; Chromium the origin. Neither matters, nor
  // does --version beside another argument.
  for (const auto& args : std::vector<std::vector<std::string>>{{"chrome-extension://abcdefghijklmnop/"},
                                                                {"/tmp/manifest.json", "karvo@example.org"},
                                                                {},
                                                                {"--version", "chrome-extension://abcdefghijklmnop/"}}) {
    auto host = start_host(home_, args);
    send(*host, R"({"launch":true,"id":"r1"})");
    const std::string reply = next_frame(*host);
    EXPECT_NE(reply.find(R"("id":"r1")"), std::string::npos) << reply;
    host->close_stdin();
    EXPECT_EQ(host->wait_exit(5s), 0);
    host->sync_output();
    EXPECT_EQ(host->stderr_text(), "");  // nothing is logged on the relay path
  }
  // The first message reaches the application unchanged in content, as the first line after auth.
  EXPECT_EQ(app_lines(*app_, 1), std::vector<std::string>{R"({"id":"r1","launch":true})"});
  EXPECT_NE(app_->received(1).at(0).find(R"("type":"auth")"), std::string::npos);
}

// No browser passes --version alone: the host prints its version and ends.
TEST_F(Relay, VersionAloneIsPrinted) {
  auto host = start_host(home_, {"--version"});
  EXPECT_THAT(host->read_until_eof(5s), ::testing::MatchesRegex("karvo-host [0-9.]+\n"));
  EXPECT_EQ(host->wait_exit(5s), 0);
}

TEST_F(Relay, BrowserMessagesAreReserialisedInOrder) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, "not json");
  send(*host, R"({"type":"t","id":1,"f":1.0,"e":1e2,"z":-0,"s":"a\/b\u00e9"})");
  send(*host, "{broken");  // dropped without a reply
  send(*host, R"(  [1, 2.50, {"b":true, "a":null}] )");
  for (int i = 0; i < 500; ++i) send(*host, R"({"n":)" + std::to_string(i) + "}");
  ASSERT_TRUE(wait_app_lines(*app_, 503));
  const std::vector<std::string> lines = app_lines(*app_);
  ASSERT_EQ(lines.size(), 503u);
  EXPECT_EQ(lines[0], "null");
  EXPECT_EQ(lines[1], R"({"e":100.0,"f":1.0,"id":1,"s":"a/bé","type":"t","z":-0.0})");
  EXPECT_EQ(lines[2], R"([1,2.5,{"a":null,"b":true}])");
  for (int i = 0; i < 500; ++i) EXPECT_EQ(lines[3 + static_cast<std::size_t>(i)], R"({"n":)" + std::to_string(i) + "}");
  EXPECT_TRUE(testkit::expect_no_frame(*host, 100ms));
}

TEST_F(Relay, ApplicationLinesAreTrimmedAndPassedAsText) {
  start({"--no-answer", "--after-auth", R"({"early":true})"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  EXPECT_EQ(next_frame(*host), R"({"early":true})");  // sent right behind the authentication reply
  ASSERT_TRUE(wait_app_lines(*app_, 1));
  app_->send(1, "   \r");
  app_->send(1, "");
  app_->send(1, "  \t{\"a\":1}  \r");
  app_->send(1, "not json at all");
  app_->send(1, "\xEF\xBB\xBF{\"bom\":1}");
  EXPECT_EQ(next_frame(*host), R"({"a":1})");
  EXPECT_EQ(next_frame(*host), "not json at all");
  EXPECT_EQ(next_frame(*host), "\xEF\xBB\xBF{\"bom\":1}");
  EXPECT_TRUE(testkit::expect_no_frame(*host, 100ms));
}

TEST_F(Relay, OversizedApplicationLineBecomesTooLarge) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  ASSERT_TRUE(wait_app_lines(*app_, 1));
  const std::string pad(1024 * 1024, 'p');
  app_->send(1, R"({"id":{"b":2,"a":1},"data":")" + pad + "\"}");
  app_->send(1, "[\"" + pad + "\"]");
  app_->send(1, std::string(1024 * 1024 - 2, ' ') + "{}");  // at the limit once trimmed
  app_->send(1, R"({"after":true})");
  EXPECT_EQ(next_frame(*host), R"({"error":"too-large","id":{"a":1,"b":2},"type":"error"})");
  EXPECT_EQ(next_frame(*host), "{}");
  EXPECT_EQ(next_frame(*host), R"({"after":true})");
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "karvo-host: dropped an app message over 1 MB\n"
                                 "karvo-host: dropped an app message over 1 MB\n");
}

TEST_F(Relay, ApplicationClosingEndsTheHost) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  ASSERT_TRUE(wait_app_lines(*app_, 1));
  app_->close(1);
  EXPECT_EQ(host->wait_exit(5s), 0);  // the browser's pipe is still open
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
}

TEST_F(Relay, BrowserClosingEndsTheHostAndTheLink) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  ASSERT_TRUE(wait_app_lines(*app_, 1));
  host->close_stdin();
  EXPECT_EQ(host->wait_exit(5s), 0);
  EXPECT_TRUE(app_->wait_event("closed 1").has_value());
}

TEST_F(Relay, InvalidUtf8FromTheApplicationEndsTheHost) {
  start({"--send-invalid-utf8"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  EXPECT_EQ(host->wait_exit(5s), 0);
}

TEST_F(Relay, OversizedBrowserFrameStopsTheReadingSide) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  ASSERT_TRUE(wait_app_lines(*app_, 1));
  ASSERT_TRUE(host->write_all(testkit::frame_header(64u * 1024 * 1024 + 1)));
  EXPECT_EQ(host->wait_exit(5s), 0);
  EXPECT_TRUE(app_->wait_event("closed 1").has_value());
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
}

TEST_F(Relay, LargestBrowserMessagePasses) {
  start({"--no-answer"});
  auto host = start_host(home_);
  send(*host, R"({"id":"x"})");
  // 64 MiB exactly: a JSON string of that many bytes, quotes included.
  std::string big(64u * 1024 * 1024, 'a');
  big.front() = big.back() = '"';
  send(*host, big);
  // Large messages are written on a thread of their own: one that does not parse is dropped, and the
  // next one, and the small one after it, still come in order.
  std::string broken = big.substr(0, 2u * 1024 * 1024);
  broken.front() = '[';
  send(*host, broken);
  const std::string text = big.substr(0, 3u * 1024 * 1024 - 1) + '"';
  send(*host, R"({"b":)" + text + R"(,"a":1})");
  send(*host, R"({"id":"y"})");
  ASSERT_TRUE(wait_app_lines(*app_, 4, 1, 60s));
  const auto lines = app_lines(*app_);
  EXPECT_EQ(lines[1].size(), big.size());
  EXPECT_EQ(lines[2], R"({"a":1,"b":)" + text + "}");
  EXPECT_EQ(lines[3], R"({"id":"y"})");
}

TEST_F(Relay, RefusedTokenCountsAsNotRunning) {
  start({"--refuse-all"});
  auto host = start_host(home_);
  send(*host, R"({"id":"r9"})");
  EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":"r9","type":"error"})");
  host->close_stdin();
  EXPECT_EQ(host->wait_exit(5s), 0);
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "karvo-host: Karvo is not running\n");
}

}  // namespace
}  // namespace karvo::hosttest
