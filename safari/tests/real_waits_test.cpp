// The few tests that run at the real waits (5 s authentication, 8 s greeting, 15 s answer by "id",
// 5 s launcher report and 15 s launch wait); every other test shortens them.
#include <chrono>

#include "extension_host.h"

namespace karvo::safari::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(RealWaits, AnAuthenticationReplyWithoutTypeIsJudgedAfterFiveSeconds) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home, {"--auth-reply", R"({"ok":true})"});
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  const auto start = Clock::now();
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  const Json reply = host.replyTo(1);
  const double took = since(start);
  EXPECT_EQ(reply["ok"], true) << reply;
  EXPECT_GE(took, 5.0);
  EXPECT_LT(took, 10.0);
}

TEST(RealWaits, GreetingAndIdWaitsRunOutAfterEightAndFifteenSeconds) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home, {"--no-answer"});
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  auto start = Clock::now();
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  EXPECT_EQ(host.replyTo(1, std::chrono::seconds(30)), Json::parse(R"({"ok":true,"messages":[]})"));
  double took = since(start);
  EXPECT_GE(took, 8.0);
  EXPECT_LT(took, 12.0);

  start = Clock::now();
  ASSERT_TRUE(host.request(2, message(R"({"op":"send","msg":{"id":"unanswered"}})")));
  EXPECT_EQ(host.replyTo(2, std::chrono::seconds(30)), Json::parse(R"({"ok":true,"messages":[]})"));
  took = since(start);
  EXPECT_GE(took, 15.0);
  EXPECT_LT(took, 19.0);

  // The collection window of a poll is 0.05 s.
  start = Clock::now();
  ASSERT_TRUE(host.request(3, message(R"({"op":"poll"})")));
  EXPECT_EQ(host.replyTo(3)["ok"], true);
  took = since(start);
  EXPECT_GE(took, 0.05);
  EXPECT_LT(took, 3.0);
}

TEST(RealWaits, ALaunchIsWaitedForFiveSecondsThenFifteen) {
  testkit::ScratchHome home;
  // A registered application whose opening the platform never reports back, and that never publishes.
  makeBundle(home.path() + "/Silent.app", {{"CFBundleIdentifier", "com.karvo.app"}, {"CFBundleExecutable", "Karvo"}});
  ASSERT_TRUE(testkit::install_program("/bin/true", home.path() + "/Silent.app/Contents/MacOS/Karvo"));
  ExtensionHost host(home, {"--workspace-silent", "--registered-app", "com.karvo.app=" + home.path() + "/Silent.app"},
                     {});
  const auto start = Clock::now();
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello","launch":1}})")));
  EXPECT_EQ(host.replyTo(1, std::chrono::seconds(40)), unavailable());
  const double took = since(start);
  EXPECT_GE(took, 20.0);
  EXPECT_LT(took, 25.0);
  ASSERT_TRUE(host.finish());
  EXPECT_NE(host.log().find("relay error: Karvo did not start in time"), std::string::npos) << host.log();
}

}  // namespace
}  // namespace karvo::safari::blackbox
