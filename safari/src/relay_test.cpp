#include "relay.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "test_support.h"

namespace karvo::safari {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Json kHello = {{"type", "hello"}, {"v", 1}};

Json request(const char* op, const Json* msg = nullptr, const Json* hello = &kHello) {
  Json r = Json::object();
  if (op != nullptr) r["op"] = op;
  if (msg != nullptr) r["msg"] = *msg;
  if (hello != nullptr) r["hello"] = *hello;
  return r;
}

Json parsed(const char* text) { return Json::parse(text); }

Json ok(std::vector<Json> messages) { return Json{{"ok", true}, {"messages", messages}}; }

Json failed(const char* error, std::vector<Json> messages = {}) {
  return Json{{"ok", false}, {"error", error}, {"messages", messages}};
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class RelayProcess : public test::SafariTest {
 protected:
  std::shared_ptr<Relay> relay_ = std::make_shared<Relay>();
  static bool sent(testkit::StandinApp& app, int conn, const std::string& line) {
    const auto before = app.count_events([](std::string_view e) { return e.starts_with("sent "); });
    return app.send(conn, line) &&
           app.wait_events([](std::string_view e) { return e.starts_with("sent "); }, before + 1);
  }
};

TEST_F(RelayProcess, UnlinkedRelayWithoutGreetingIsDisconnected) {
  EXPECT_EQ(relay_->process(Json::object()), failed("disconnected"));
  EXPECT_EQ(relay_->process(request("poll", nullptr, nullptr)), failed("disconnected"));
  const Json greeting = {{"type", "hello"}};
  EXPECT_EQ(relay_->process(request("send", &greeting, nullptr)), failed("disconnected"));
  EXPECT_EQ(relay_->process(request("close")), ok({}));
  EXPECT_FALSE(relay_->linked());
}

TEST_F(RelayProcess, SendGreetsThenWaitsForTheAnswerWithTheSameId) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  const Json msg = {{"type", "add"}, {"id", "r1"}};
  const Json reply = relay_->process(request("send", &msg));
  ASSERT_EQ(reply["ok"], true) << reply;
  ASSERT_EQ(reply["messages"].size(), 2U) << reply;
  EXPECT_EQ(reply["messages"][0]["type"], "hello");
  EXPECT_EQ(reply["messages"][1]["id"], "r1");
  EXPECT_EQ(reply.size(), 2U);
  const auto lines = test::receivedLines(app, 1, 3);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(Json::parse(lines[1]), kHello);
  EXPECT_EQ(Json::parse(lines[2]), msg);
  // Linked now: the next request needs no greeting and sends none.
  const Json next = {{"id", "r2"}};
  EXPECT_EQ(relay_->process(request("send", &next, nullptr))["messages"].size(), 1U);
  EXPECT_EQ(test::receivedLines(app, 1, 4).size(), 4U);
}

TEST_F(RelayProcess, PollDeliversWhatArrivedBetweenRequestsInOrder) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  ASSERT_EQ(relay_->process(request("poll"))["messages"].size(), 1U);  // the greeting's answer
  ASSERT_TRUE(sent(app, 1, R"({"type":"push","n":1})"));
  ASSERT_TRUE(sent(app, 1, R"([1,2])"));
  ASSERT_TRUE(sent(app, 1, R"({"type":"push","n":2})"));
  EXPECT_EQ(relay_->process(request("poll", nullptr, nullptr)),
            ok({parsed(R"({"type":"push","n":1})"), parsed(R"({"type":"push","n":2})")}));
  EXPECT_EQ(relay_->process(request("poll", nullptr, nullptr)), ok({}));
  // Any operation other than "send" and "close" polls; so does "send" without "msg".
  ASSERT_TRUE(sent(app, 1, R"({"n":3})"));
  EXPECT_EQ(relay_->process(request("fetch", nullptr, nullptr)), ok({parsed(R"({"n":3})")}));
  ASSERT_TRUE(sent(app, 1, R"({"n":4})"));
  EXPECT_EQ(relay_->process(request("send", nullptr, nullptr)), ok({parsed(R"({"n":4})")}));
  EXPECT_EQ(test::receivedLines(app, 1, 2).size(), 2U);  // authentication and greeting only
}

TEST_F(RelayProcess, AnObjectBehindTheAuthenticationReplyComesWithTheFirstRequest) {
  testkit::StandinApp app(home_, {"--after-auth", R"({"type":"early"})"});
  ASSERT_TRUE(app.ok());
  const Json reply = relay_->process(request("poll"));
  ASSERT_EQ(reply["messages"].size(), 2U) << reply;
  EXPECT_EQ(reply["messages"][0]["type"], "early");
  EXPECT_EQ(reply["messages"][1]["type"], "hello");
}

TEST_F(RelayProcess, NumericIdsNeitherStartNorEndAnIdWait) {
  constexpr double kScale = 0.2;  // an "id" wait of 3 s, well apart from the 0.05 s window
  setWaitScale(kScale);
  testkit::StandinApp app(home_, {"--no-answer"});
  ASSERT_TRUE(app.ok());
  // The greeting goes unanswered: its wait runs out without failing.
  auto start = Clock::now();
  EXPECT_EQ(relay_->process(request("poll")), ok({}));
  EXPECT_GE(seconds(Clock::now() - start), waits::kGreeting * kScale * 0.95);

  // A numeric "id" gets the short collection window only.
  const Json numeric = {{"id", 7}};
  start = Clock::now();
  EXPECT_EQ(relay_->process(request("send", &numeric, nullptr)), ok({}));
  EXPECT_LT(seconds(Clock::now() - start), waits::kAnswerById * kScale * 0.5);

  // A string "id" ends at the first answer whose "id" is an equal string (canonically equivalent);
  // what came after it stays for the next request.
  ASSERT_TRUE(sent(app, 1, R"({"id":7})"));
  ASSERT_TRUE(sent(app, 1, R"({"id":"cafe\u0301","n":1})"));
  ASSERT_TRUE(sent(app, 1, R"({"after":true})"));
  const Json msg = {{"id", "caf\u00e9"}};
  start = Clock::now();
  const Json reply = relay_->process(request("send", &msg, nullptr));
  EXPECT_LT(seconds(Clock::now() - start), waits::kAnswerById * kScale * 0.5);
  EXPECT_EQ(reply, ok({parsed(R"({"id":7})"), parsed(R"({"id":"cafe\u0301","n":1})")}));
  EXPECT_EQ(relay_->process(request("poll")), ok({parsed(R"({"after":true})")}));
}

TEST_F(RelayProcess, AnUnansweredIdSucceedsWithWhatArrived) {
  test::shortWaits();
  testkit::StandinApp app(home_, {"--no-answer"});
  ASSERT_TRUE(app.ok());
  relay_->process(request("poll"));
  ASSERT_TRUE(sent(app, 1, R"({"id":"other"})"));
  const Json msg = {{"id", "mine"}};
  const auto start = Clock::now();
  EXPECT_EQ(relay_->process(request("send", &msg)), ok({parsed(R"({"id":"other"})")}));
  EXPECT_GE(seconds(Clock::now() - start), waits::kAnswerById * test::kTestWaitScale * 0.95);
}

TEST_F(RelayProcess, SendingAGreetingStartsAFreshLink) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  ASSERT_EQ(relay_->process(request("poll"))["ok"], true);
  ASSERT_TRUE(sent(app, 1, R"({"type":"stale"})"));
  const Json greeting = {{"type", "hello"}, {"v", 2}};
  const Json reply = relay_->process(request("send", &greeting));
  // The old link and what lay buffered on it are gone; the new link gets `msg`, not "hello".
  ASSERT_EQ(reply["messages"].size(), 1U) << reply;
  EXPECT_EQ(reply["messages"][0]["link"], 2);
  ASSERT_TRUE(app.wait_event("closed 1"));
  const auto lines = test::receivedLines(app, 2, 2);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(Json::parse(lines[1]), greeting);

  // With a string "id", the greeting's answer is awaited by that "id".
  const Json withId = {{"type", "hello"}, {"id", "g"}};
  const Json second = relay_->process(request("send", &withId));
  ASSERT_EQ(second["messages"].size(), 1U);
  EXPECT_EQ(second["messages"][0]["id"], "g");

  // A greeting without "hello" in the request: the link is dropped and not made again.
  EXPECT_EQ(relay_->process(request("send", &greeting, nullptr)), failed("disconnected"));
  EXPECT_FALSE(relay_->linked());
}

TEST_F(RelayProcess, AGreetingInMsgGoesOutInPlaceOfHelloOnAnyOperation) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  const Json greeting = {{"type", "hello"}, {"v", 3}};
  // "poll" with a greeting in "msg" links without sending anything but the authentication.
  EXPECT_EQ(relay_->process(request("poll", &greeting)), ok({}));
  EXPECT_TRUE(relay_->linked());
  EXPECT_EQ(test::receivedLines(app, 1, 1).size(), 1U);
}

TEST_F(RelayProcess, CloseDropsTheLinkAndItsBufferedLines) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  relay_->process(request("poll"));
  ASSERT_TRUE(sent(app, 1, R"({"type":"lost"})"));
  ASSERT_TRUE(app.send_raw(1, R"({"partial":)"));
  EXPECT_EQ(relay_->process(request("close", nullptr, nullptr)), ok({}));
  EXPECT_FALSE(relay_->linked());
  ASSERT_TRUE(app.wait_event("closed 1"));
  EXPECT_EQ(relay_->process(request("poll", nullptr, nullptr)), failed("disconnected"));
  const Json reply = relay_->process(request("poll"));
  ASSERT_EQ(reply["messages"].size(), 1U) << reply;
  EXPECT_EQ(reply["messages"][0]["link"], 2);
}

TEST_F(RelayProcess, TheApplicationClosingTheLinkIsReportedWithWhatCameBefore) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  relay_->process(request("poll"));
  ASSERT_TRUE(sent(app, 1, R"({"type":"last"})"));
  ASSERT_TRUE(app.close(1));
  ASSERT_TRUE(app.wait_event("closed 1"));
  EXPECT_EQ(relay_->process(request("poll", nullptr, nullptr)),
            failed("disconnected", {parsed(R"({"type":"last"})")}));
  EXPECT_FALSE(relay_->linked());
  // The next request with a greeting links again.
  EXPECT_EQ(relay_->process(request("poll"))["ok"], true);
  EXPECT_TRUE(relay_->linked());
}

TEST_F(RelayProcess, AMessageThatCannotBeWrittenIsDisconnectedButKeepsTheLink) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  relay_->process(request("poll"));
  const Json bad = {{"text", "\xff"}};
  EXPECT_EQ(relay_->process(request("send", &bad, nullptr)), failed("disconnected"));
  EXPECT_TRUE(relay_->linked());
}

TEST_F(RelayProcess, UnreachableApplicationWithoutLaunchIsUnavailableAtOnce) {
  const Json unavailable = failed("app-unavailable", {parsed(R"({"type":"error","error":"app-unavailable"})")});
  // No endpoint file, then one whose port nobody listens on, then a refused token.
  EXPECT_EQ(relay_->process(request("poll")), unavailable);
  ASSERT_TRUE(home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) + R"(,"token":"t"})"));
  for (const char* launch : {"false", "\"true\"", "2", "0"}) {
    const Json hello = Json::parse(std::string(R"({"type":"hello","launch":)") + launch + "}");
    EXPECT_EQ(relay_->process(request("poll", nullptr, &hello)), unavailable) << launch;
  }
  {
    testkit::StandinApp app(home_, {"--refuse-all"});
    ASSERT_TRUE(app.ok());
    EXPECT_EQ(relay_->process(request("poll")), unavailable);
  }
  EXPECT_TRUE(log_->entries().empty());  // no launch was tried: it would have logged "not found"
}

TEST_F(RelayProcess, ALaunchThatBringsNothingEndsUnavailableAfterTheLaunchWait) {
  test::shortWaits();
  const Json unavailable = failed("app-unavailable", {parsed(R"({"type":"error","error":"app-unavailable"})")});
  for (const char* launch : {"true", "1"}) {
    log_->clear();
    const Json hello = Json::parse(std::string(R"({"type":"hello","launch":)") + launch + "}");
    const auto start = Clock::now();
    EXPECT_EQ(relay_->process(request("poll", nullptr, &hello)), unavailable);
    EXPECT_GE(seconds(Clock::now() - start), waits::kLaunch * test::kTestWaitScale * 0.95);
    EXPECT_EQ(log_->entries(), (std::vector<std::string>{"error: Karvo.app not found",
                                                         "error: Karvo did not start in time"}));
  }
}

TEST_F(RelayProcess, TheLaunchWaitPicksUpAnApplicationThatAppearsMeanwhile) {
  // The application publishes its endpoint file a little after the launcher has given up looking.
  testkit::StandinApp app(home_, {"--publish-delay", "300"});
  ASSERT_TRUE(app.ok());
  const Json hello = {{"type", "hello"}, {"launch", true}};
  const Json reply = relay_->process(request("poll", nullptr, &hello));
  EXPECT_EQ(reply["ok"], true) << reply;
  EXPECT_TRUE(log_->contains("error: Karvo.app not found"));
}

TEST_F(RelayProcess, HandleAnswersEachRequestOnceInOrderOffTheCallersThread) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  std::mutex mutex;
  std::vector<std::string> order;
  std::promise<void> done;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> offThread{true};
  for (int i = 0; i < 5; ++i) {
    const Json msg = {{"id", std::to_string(i)}};
    relay_->handle(request("send", &msg), [&, i](const Json& reply) {
      if (std::this_thread::get_id() == caller) offThread = false;
      const std::lock_guard guard(mutex);
      order.push_back(std::to_string(i) + ":" + reply["messages"].back().value("id", "?"));
      if (order.size() == 5) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(offThread);
  ASSERT_EQ(order.size(), 5U);
  EXPECT_EQ(order, (std::vector<std::string>{"0:0", "1:1", "2:2", "3:3", "4:4"}));
}

TEST_F(RelayProcess, ForProfileGivesOneRelayPerProfile) {
  const auto a = Relay::forProfile("default");
  EXPECT_EQ(a, Relay::forProfile("default"));
  EXPECT_NE(a, Relay::forProfile("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
  // Racing first uses still agree.
  std::vector<std::future<std::shared_ptr<Relay>>> racers;
  for (int i = 0; i < 8; ++i) {
    racers.push_back(std::async(std::launch::async, [] { return Relay::forProfile("raced"); }));
  }
  const auto first = racers[0].get();
  for (std::size_t i = 1; i < racers.size(); ++i) EXPECT_EQ(racers[i].get(), first);
}

}  // namespace
}  // namespace karvo::safari
