// The extension's exchanges with the application, through the stand-in extension host.
#include <chrono>

#include "extension_host.h"

namespace karvo::safari::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kProfile = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kOtherProfile = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

Json withProfile(Json line, const std::string& uuid) {
  line["profile"] = Json{{"uuid", uuid}};
  return line;
}

TEST(SafariExchange, SendPollAndCloseThroughOneProfileRelay) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});

  ASSERT_TRUE(host.request(1, withProfile(message(R"({"op":"send","hello":{"type":"hello","v":1},
                                                     "msg":{"type":"ping","source":"popup","id":"r1"}})"),
                                          kProfile)));
  const Json first = host.replyTo(1);
  ASSERT_EQ(first["ok"], true) << first;
  ASSERT_EQ(first["messages"].size(), 2U) << first;
  EXPECT_EQ(first["messages"][0]["type"], "hello");
  EXPECT_EQ(first["messages"][1]["id"], "r1");
  const auto lines = receivedLines(app, 1, 3);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(Json::parse(lines[0]), Json::parse(R"({"type":"auth","token":)" + Json(app.token()).dump() +
                                               R"(,"role":"browser"})"));
  EXPECT_EQ(Json::parse(lines[1]), Json::parse(R"({"type":"hello","v":1})"));
  EXPECT_EQ(Json::parse(lines[2]), Json::parse(R"({"type":"ping","source":"popup","id":"r1"})"));

  // What the application sends between requests waits for the next poll.
  ASSERT_TRUE(app.send(1, R"({"type":"push","id":"p","accepted":false,"reason":"busy"})"));
  ASSERT_TRUE(app.wait_event("sent 1"));
  ASSERT_TRUE(host.request(2, withProfile(message(R"({"op":"poll"})"), kProfile)));
  EXPECT_EQ(host.replyTo(2), Json::parse(R"({"ok":true,"messages":[{"type":"push","id":"p",
                                             "accepted":false,"reason":"busy"}]})"));
  // An idle poll is answered but not traced.
  ASSERT_TRUE(host.request(3, withProfile(message(R"({"op":"poll"})"), kProfile)));
  EXPECT_EQ(host.replyTo(3), Json::parse(R"({"ok":true,"messages":[]})"));

  ASSERT_TRUE(host.request(4, withProfile(message(R"({"op":"close"})"), kProfile)));
  EXPECT_EQ(host.replyTo(4), Json::parse(R"({"ok":true,"messages":[]})"));
  EXPECT_TRUE(app.wait_event("closed 1"));
  ASSERT_TRUE(host.request(5, withProfile(message(R"({"op":"poll"})"), kProfile)));
  EXPECT_EQ(host.replyTo(5), failed("disconnected"));

  EXPECT_EQ(host.finish(), 0) << host.log();
  const std::string log = host.log();
  const std::string prefix = "com.karvo.safari-extension relay info: ";
  EXPECT_NE(log.find(prefix + "send [ping popup r1] → ok [hello, reply r1]\n"), std::string::npos) << log;
  EXPECT_NE(log.find(prefix + "poll [] → ok [push p declined(busy)]\n"), std::string::npos) << log;
  EXPECT_NE(log.find(prefix + "close [] → ok []\n"), std::string::npos) << log;
  EXPECT_NE(log.find(prefix + "poll [] → failed(disconnected) []\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(prefix + "poll [] → ok []"), std::string::npos) << log;
}

// The program answers --version without reading requests.
TEST(SafariExchange, VersionIsPrinted) {
  testkit::Child version({testkit::bin("KarvoSafari"), "--version"});
  EXPECT_TRUE(version.read_until_eof(std::chrono::seconds(30)).starts_with("KarvoSafari ")) << version.stderr_text();
  EXPECT_EQ(version.wait_exit(std::chrono::seconds(30)), 0);
}

TEST(SafariExchange, MalformedRequestsAreAnsweredByTheDefaultRelay) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  // Link the "default" relay first; a request that comes out empty is then a plain collection there.
  ASSERT_TRUE(host.request(1, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  ASSERT_EQ(host.replyTo(1)["ok"], true);
  const Json emptyOk = Json::parse(R"({"ok":true,"messages":[]})");
  const Json shapes[] = {
      Json::object(),                                            // no user info values at all
      Json{{"items", Json::array()}},                            // no input items
      Json{{"items", Json::array({Json{{"foreign", true}, {"message", {{"op", "close"}}}}})}},
      Json{{"items", Json::array({Json{{"noUserInfo", true}, {"message", {{"op", "close"}}}}})}},
      Json{{"message", "op=close"}},                             // not a dictionary
      Json{{"message", Json::array({"close"})}},
      Json{{"message", 5}},
      Json{{"message", {{"op", "poll"}}}, {"profile", kProfile}},  // a string, not a UUID
      Json{{"message", {{"op", "poll"}}}, {"profile", {{"uuid", "not-a-uuid"}}}},
  };
  int n = 2;
  for (const Json& shape : shapes) {
    ASSERT_TRUE(host.request(n, shape));
    EXPECT_EQ(host.replyTo(n), emptyOk) << shape;
    ++n;
  }
  // Only the first input item counts.
  ASSERT_TRUE(host.request(n, Json{{"items", Json::array({Json{{"message", {{"op", "poll"}}}},
                                                          Json{{"message", {{"op", "close"}}}}})}}));
  EXPECT_EQ(host.replyTo(n), emptyOk);
  EXPECT_EQ(app.count_events([](std::string_view e) { return e.starts_with("closed"); }), 0U);
}

TEST(SafariExchange, ProfilesHaveRelaysOfTheirOwnFromMacOS14On) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  {
    ExtensionHost host(home, {"--system-version", "14.0"});
    // The profile's UUID in any letter case names the same relay.
    std::string lower = kProfile;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(host.request(1, withProfile(message(R"({"op":"poll","hello":{"type":"hello"}})"), lower)));
    ASSERT_EQ(host.replyTo(1)["ok"], true);
    ASSERT_TRUE(host.request(2, withProfile(message(R"({"op":"poll"})"), kProfile)));
    EXPECT_EQ(host.replyTo(2)["ok"], true);
    ASSERT_TRUE(host.request(3, withProfile(message(R"({"op":"poll"})"), kOtherProfile)));
    EXPECT_EQ(host.replyTo(3), failed("disconnected"));
    ASSERT_TRUE(host.request(4, message(R"({"op":"poll"})")));
    EXPECT_EQ(host.replyTo(4), failed("disconnected"));
  }
  {
    // Before macOS 14 the profile is not consulted: every request reaches "default".
    ExtensionHost host(home, {"--system-version", "13.6"});
    ASSERT_TRUE(host.request(1, withProfile(message(R"({"op":"poll","hello":{"type":"hello"}})"), kProfile)));
    ASSERT_EQ(host.replyTo(1)["ok"], true);
    ASSERT_TRUE(host.request(2, withProfile(message(R"({"op":"poll"})"), kOtherProfile)));
    EXPECT_EQ(host.replyTo(2)["ok"], true);
    ASSERT_TRUE(host.request(3, message(R"({"op":"poll"})")));
    EXPECT_EQ(host.replyTo(3)["ok"], true);
  }
}

TEST(SafariExchange, ProfilesAreIndependentAndEachAnswersInOrder) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home, {"--no-answer"});
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {}, {}, /*shortWaits=*/true);
  const auto start = Clock::now();
  // Profile A: a send whose greeting and "id" both go unanswered (0.8 s + 1.5 s), then a poll behind it.
  ASSERT_TRUE(host.request(1, withProfile(message(R"({"op":"send","hello":{"type":"hello"},
                                                     "msg":{"id":"slow"}})"), kProfile)));
  ASSERT_TRUE(host.request(2, withProfile(message(R"({"op":"poll"})"), kProfile)));
  // Profile B, meanwhile: only its own greeting's wait (0.8 s).
  ASSERT_TRUE(host.request(3, withProfile(message(R"({"op":"poll","hello":{"type":"hello"}})"),
                                          kOtherProfile)));
  std::vector<int> order;
  std::vector<double> at;
  for (int i = 0; i < 3; ++i) {
    const auto line = host.nextReply();
    ASSERT_TRUE(line) << host.log();
    order.push_back((*line)["n"].get<int>());
    at.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    EXPECT_EQ((*line)["items"][0]["message"]["ok"], true) << *line;
  }
  // B's answer came first: it did not wait behind A's 2.3 s.
  EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
  EXPECT_GE(at[1], 2.2);
}

TEST(SafariExchange, AnswersTheGreetingOnANewLinkAndReconnectsAfterTheApplicationClosedIt) {
  testkit::ScratchHome home;
  testkit::StandinApp app(home);
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  // A greeting sent as "msg" goes out in place of "hello" and is awaited by its type.
  ASSERT_TRUE(host.request(1, message(R"({"op":"send","hello":{"type":"hello","v":"h"},
                                          "msg":{"type":"hello","v":"m"}})")));
  const Json first = host.replyTo(1);
  ASSERT_EQ(first["messages"].size(), 1U) << first;
  EXPECT_EQ(first["messages"][0]["type"], "hello");
  const auto lines = receivedLines(app, 1, 2);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(Json::parse(lines[1])["v"], "m");

  ASSERT_TRUE(app.send(1, R"({"type":"bye"})"));
  ASSERT_TRUE(app.wait_event("sent 1"));
  ASSERT_TRUE(app.close(1));
  ASSERT_TRUE(app.wait_event("closed 1"));
  ASSERT_TRUE(host.request(2, message(R"({"op":"poll","hello":{"type":"hello"}})")));
  EXPECT_EQ(host.replyTo(2), failed("disconnected", Json::array({Json{{"type", "bye"}}})));
  ASSERT_TRUE(host.request(3, message(R"({"op":"send","hello":{"type":"hello"},"msg":{"id":"x"}})")));
  const Json third = host.replyTo(3);
  EXPECT_EQ(third["ok"], true) << third;
  EXPECT_EQ(third["messages"].size(), 2U) << third;
  EXPECT_EQ(receivedLines(app, 2, 3).size(), 3U);  // authentication, greeting, message
}

}  // namespace
}  // namespace karvo::safari::blackbox
