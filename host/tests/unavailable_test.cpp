// karvo-host when no application can be reached, and the ways it ends before choosing a mode.
#include <gtest/gtest.h>

#include <chrono>

#include "host_driver.h"

namespace karvo::hosttest {
namespace {

constexpr const char* kNotRunning = "karvo-host: Karvo is not running\n";

TEST(Startup, EmptyOrBrokenFirstFrameEndsSilently) {
  ScratchHome home;
  const std::string inputs[] = {
      "",                                               // nothing at all
      std::string("\x05\x00", 2),                       // inside the length
      testkit::frame_header(10) + "{\"id\"",             // inside the body
      testkit::frame_header(64u * 1024 * 1024 + 1),      // over the inbound limit
  };
  for (const std::string& input : inputs) {
    auto host = start_host(home);
    ASSERT_TRUE(host->write_all(input));
    host->close_stdin();
    EXPECT_EQ(host->wait_exit(5s), 0);
    EXPECT_EQ(host->read_until_eof(1s), "");
    host->sync_output();
    EXPECT_EQ(host->stderr_text(), "");
  }
}

TEST(Unavailable, FirstMessageIsAnsweredWhateverItIs) {
  ScratchHome home;
  struct {
    const char* first;
    const char* reply;
  } cases[] = {
      {R"({"id":"r1","type":"x"})", R"({"error":"app-unavailable","id":"r1","type":"error"})"},
      {R"({"type":"x"})", R"({"error":"app-unavailable","type":"error"})"},
      {"not json", R"({"error":"app-unavailable","type":"error"})"},
      {"", R"({"error":"app-unavailable","type":"error"})"},
      {R"([{"id":1}])", R"({"error":"app-unavailable","type":"error"})"},
      {R"({"id":{"z":1,"a":[1.5e300]}})", R"({"error":"app-unavailable","id":{"a":[1.5e300],"z":1},"type":"error"})"},
      // Only the boolean true asks for a launch.
      {R"({"launch":"true","id":2})", R"({"error":"app-unavailable","id":2,"type":"error"})"},
      {R"({"launch":1,"id":3})", R"({"error":"app-unavailable","id":3,"type":"error"})"},
      {R"({"launch":false,"id":4})", R"({"error":"app-unavailable","id":4,"type":"error"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    auto host = start_host(home);
    send(*host, c.first);
    EXPECT_EQ(next_frame(*host), c.reply);
    host->close_stdin();
    EXPECT_EQ(host->wait_exit(5s), 0);  // end of input ends it at once
    host->sync_output();
    EXPECT_EQ(host->stderr_text(), kNotRunning);
  }
}

TEST(Unavailable, UnusableEndpointsCountAsNotRunning) {
  ScratchHome home;
  const std::string port = std::to_string(testkit::unused_port());
  const std::string files[] = {
      R"({"port":)" + port + R"(,"token":"t"})",  // nobody listens
      R"({"port":)" + port + R"(})",               // no token
      "\xEF\xBB\xBF{}",
  };
  for (const std::string& file : files) {
    ASSERT_TRUE(home.write_ipc(file));
    auto host = start_host(home);
    send(*host, R"({"id":5})");
    EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":5,"type":"error"})");
    host->close_stdin();
    EXPECT_EQ(host->wait_exit(5s), 0);
    host->sync_output();
    EXPECT_EQ(host->stderr_text(), kNotRunning);
  }
}

// The two-second grace: these take the real clock.
TEST(UnavailableClock, AnswersRequestsForTwoSecondsThenExits) {
  ScratchHome home;
  auto host = start_host(home);
  const auto start = std::chrono::steady_clock::now();
  send(*host, R"({"id":"r1"})");
  EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":"r1","type":"error"})");
  send(*host, R"({"id":7})");
  send(*host, R"({"type":"no id"})");
  send(*host, "garbage");
  send(*host, R"({"id":null})");
  send(*host, R"([{"id":8}])");
  send(*host, R"({"id":"last"})");
  EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":7,"type":"error"})");
  EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":null,"type":"error"})");
  EXPECT_EQ(next_frame(*host), R"({"error":"app-unavailable","id":"last","type":"error"})");
  // The browser keeps its end open; the host still ends after two seconds.
  EXPECT_EQ(host->wait_exit(10s), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 1900ms);
  EXPECT_EQ(host->read_until_eof(1s), "");
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), kNotRunning);
}

}  // namespace
}  // namespace karvo::hosttest
