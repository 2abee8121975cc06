#include "relay_link.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/json_text.h"
#include "test_support.h"

namespace karvo::safari {
namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// A link over one end of a socket pair; the test plays the application on the other end.
struct LinkedPair {
  LinkedPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    link.adopt(UniqueFd(ends[0]));
    peer.reset(ends[1]);
  }
  void send(std::string_view bytes) const {
    ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  std::string receive() const {
    char buffer[4096];
    const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
  RelayLink link;
  UniqueFd peer;
};

std::vector<std::string> texts(const std::vector<Json>& objects) {
  std::vector<std::string> out;
  for (const Json& object : objects) out.push_back(object.dump());
  return out;
}

bool idIs(const Json& object, const char* id) { return memberTextEquals(object, "id", id); }

// Ends a read at the first object that has `key`: the bytes are already sent, so a read that waits for
// them instead of for a short window cannot lose the race on a loaded machine.
RelayLink::Until has(const char* key) {
  return [key](const Json& object) { return object.contains(key); };
}

TEST(RelayLinkRead, SplitsTheByteStreamIntoObjectsWhateverTheSegments) {
  LinkedPair pair;
  std::vector<Json> got;
  pair.send("{\"a\":1}\n{\"b\":2}\n{\"c\":");
  EXPECT_TRUE(pair.link.read(has("b"), 30.0, got));
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"a":1})", R"({"b":2})"}));
  EXPECT_EQ(pair.link.pending(), "{\"c\":");
  pair.send("3}");
  pair.send("\n");
  EXPECT_TRUE(pair.link.read(has("c"), 30.0, got));
  EXPECT_EQ(texts(got).back(), R"({"c":3})");
  EXPECT_TRUE(pair.link.pending().empty());
}

TEST(RelayLinkRead, SkipsLinesThatAreNotObjects) {
  LinkedPair pair;
  pair.send("\n   \n[1,2]\n{broken\n\"text\"\n{\"ok\":1}\r\n{\"é\":\"x\"}\n");
  std::vector<Json> got;
  EXPECT_TRUE(pair.link.read(has("é"), 30.0, got));
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"ok":1})", R"({"é":"x"})"}));
}

TEST(RelayLinkRead, EndsAtTheAwaitedObjectAndKeepsTheRestForTheNextRead) {
  LinkedPair pair;
  pair.send("{\"id\":\"1\"}\n{\"id\":2}\n{\"id\":\"2\"}\n{\"id\":\"3\"}\n{\"partial\":");
  std::vector<Json> got;
  const auto start = steady_clock::now();
  EXPECT_TRUE(pair.link.read([](const Json& o) { return idIs(o, "2"); }, 30.0, got));
  EXPECT_LT(steady_clock::now() - start, 20s);  // well before the 30 s: it ended at the object
  // The numeric "id" 2 does not end the wait; the object that does is included.
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"id":"1"})", R"({"id":2})", R"({"id":"2"})"}));
  // A read whose time is already up still hands over the complete lines that are buffered.
  got.clear();
  EXPECT_TRUE(pair.link.read({}, 0.0, got));
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"id":"3"})"}));
  EXPECT_EQ(pair.link.pending(), "{\"partial\":");
}

TEST(RelayLinkRead, AwaitedIdMatchesByCanonicalEquivalence) {
  LinkedPair pair;
  pair.send("{\"id\":\"cafe\\u0301\"}\n");
  std::vector<Json> got;
  EXPECT_TRUE(pair.link.read([](const Json& o) { return idIs(o, "caf\u00e9"); }, 30.0, got));
  EXPECT_EQ(got.size(), 1U);
}

TEST(RelayLinkRead, ALineOverTheLimitIsSkippedWithoutBeingKept) {
  LinkedPair pair;
  std::thread writer([&] {
    pair.send("{\"a\":1}\n{\"big\":\"");
    const std::string chunk(std::size_t{1} << 20, 'x');
    for (std::size_t sent = 0; sent <= RelayLink::kMaxLineBytes; sent += chunk.size()) pair.send(chunk);
    pair.send("\"}\n{\"after\":2}\n");
  });
  std::vector<Json> got;
  std::size_t most = 0;  // the most that the link held of the unfinished line between reads
  const auto deadline = steady_clock::now() + 120s;
  while ((got.empty() || !got.back().contains("after")) && steady_clock::now() < deadline) {
    EXPECT_TRUE(pair.link.read(has("after"), 0.05, got));
    most = std::max(most, pair.link.pending().size());
  }
  writer.join();
  // Sizes, not texts: a failure must not print 64 MiB.
  ASSERT_EQ(got.size(), 2U) << "the long line was delivered";
  EXPECT_EQ(got[0].dump(), R"({"a":1})");
  EXPECT_EQ(got[1].dump(), R"({"after":2})");
  EXPECT_LE(most, RelayLink::kMaxLineBytes + RelayLink::kReceiveBufferSize);
  EXPECT_TRUE(pair.link.pending().empty());
}

TEST(RelayLinkRead, RunsOutOfTimeWithoutFailing) {
  LinkedPair pair;
  std::vector<Json> got;
  const auto start = steady_clock::now();
  EXPECT_TRUE(pair.link.read([](const Json&) { return true; }, 0.2, got));
  EXPECT_GE(steady_clock::now() - start, 190ms);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(pair.link.linked());
}

TEST(RelayLinkRead, PeerClosingFailsAndDropsTheLinkKeepingWhatCame) {
  LinkedPair pair;
  pair.send("{\"a\":1}\n{\"unfinished\":");
  pair.peer.reset();
  std::vector<Json> got;
  EXPECT_FALSE(pair.link.read({}, 5.0, got));
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"a":1})"}));
  EXPECT_FALSE(pair.link.linked());
  EXPECT_TRUE(pair.link.pending().empty());
  // Unlinked, with nothing buffered: a read fails at once.
  EXPECT_FALSE(pair.link.read({}, 5.0, got));
}

TEST(RelayLinkRead, TakesALongLineInManyReceives) {
  LinkedPair pair;
  const std::string big(1 << 20, 'x');
  std::thread writer([&] { pair.send("{\"big\":\"" + big + "\"}\n"); });
  std::vector<Json> got;
  EXPECT_TRUE(pair.link.read([](const Json&) { return true; }, 30.0, got));
  writer.join();
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0]["big"].get<std::string>().size(), big.size());
}

TEST(RelayLinkWrite, SendsOneCompactLine) {
  LinkedPair pair;
  EXPECT_TRUE(pair.link.write(Json{{"type", "hello"}, {"n", 1}}));
  EXPECT_EQ(pair.receive(), "{\"n\":1,\"type\":\"hello\"}\n");
}

TEST(RelayLinkWrite, AnObjectThatCannotBeWrittenFailsButKeepsTheLink) {
  LinkedPair pair;
  EXPECT_FALSE(pair.link.write(Json{{"bad", "\xff"}}));
  EXPECT_TRUE(pair.link.linked());
  EXPECT_EQ(pair.receive(), "");
}

TEST(RelayLinkWrite, AClosedPeerFailsWithoutASignalAndDropsTheLink) {
  LinkedPair pair;
  pair.send("{\"a\":1}\n");
  std::vector<Json> got;
  pair.link.read({}, 0.0, got);
  pair.peer.reset();
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = !pair.link.write(Json{{"n", i}});
  EXPECT_TRUE(failed);
  EXPECT_FALSE(pair.link.linked());
  EXPECT_FALSE(pair.link.write(Json::object()));  // unlinked
}

TEST(RelayLinkDrop, ForgetsThePartialLine) {
  LinkedPair pair;
  pair.send("{\"part");
  std::vector<Json> got;
  // Short reads until the partial line has been taken in, however late the thread gets its turn.
  const auto deadline = steady_clock::now() + 30s;
  while (pair.link.pending().empty() && steady_clock::now() < deadline) pair.link.read({}, 0.05, got);
  EXPECT_FALSE(pair.link.pending().empty());
  pair.link.drop();
  EXPECT_FALSE(pair.link.linked());
  EXPECT_TRUE(pair.link.pending().empty());
}

// Authentication against the stand-in application.
class RelayLinkOpen : public test::SafariTest {
 protected:
  static bool openWith(const testkit::StandinApp& app, RelayLink& link) {
    return link.open(IpcInfo(app.port(), app.token(), std::nullopt));
  }
};

TEST_F(RelayLinkOpen, AuthenticatesAndKeepsWhatFollowsTheReply) {
  testkit::StandinApp app(home_, {"--after-auth", R"({"type":"news","n":1})"});
  ASSERT_TRUE(app.ok());
  RelayLink link;
  ASSERT_TRUE(openWith(app, link));
  ASSERT_TRUE(app.wait_event("auth 1 ok"));
  EXPECT_EQ(test::receivedLines(app, 1, 1).at(0),
            R"({"role":"browser","token":)" + Json(app.token()).dump() + R"(,"type":"auth"})");
  std::vector<Json> got;
  EXPECT_TRUE(link.read({}, 0.0, got));
  EXPECT_EQ(texts(got), (std::vector<std::string>{R"({"n":1,"type":"news"})"}));
}

TEST_F(RelayLinkOpen, JudgesTheOkOfTheAuthenticationReply) {
  struct Case {
    const char* reply;
    bool accepted;
  };
  const Case cases[] = {
      {R"({"type":"auth","ok":true})", true},
      {R"({"type":"auth","ok":1})", true},
      {R"({"type":"auth","ok":1.0})", true},
      {R"({"type":"auth","ok":"true"})", false},
      {R"({"type":"auth","ok":2})", false},
      {R"({"type":"auth","ok":false})", false},
      {R"({"type":"auth"})", false},
      // Whatever comes before the reply is passed over; the "auth" object decides.
      {"{\"type\":\"note\"}\n[1]\n{\"type\":\"auth\",\"ok\":true}", true},
      {"{\"ok\":true}\n{\"type\":\"auth\",\"ok\":false}", false},
  };
  // An "auth" reply ends the authentication wait early: the wait is stretched to 20 s so that ending
  // well before it says so even on a loaded machine.
  setWaitScale(4.0);
  for (const Case& c : cases) {
    testkit::StandinApp app(home_, {"--auth-reply", c.reply});
    ASSERT_TRUE(app.ok());
    RelayLink link;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openWith(app, link), c.accepted) << c.reply;
    EXPECT_EQ(link.linked(), c.accepted) << c.reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.reply;
  }
}

TEST_F(RelayLinkOpen, WithoutTypeTheLastObjectDecidesWhenTheWaitIsOver) {
  // The wait runs out here, and what the application sent by then decides: 2 s leaves it ample time.
  constexpr double kScale = 0.4;
  setWaitScale(kScale);
  const double wait = waits::kAuthentication * kScale;
  for (const auto& [reply, accepted] : {std::pair{R"({"ok":true})", true},
                                        std::pair{"{\"ok\":true}\n{\"ok\":false}", false},
                                        std::pair{"{\"ok\":false}\n{\"ok\":true}", true}}) {
    testkit::StandinApp app(home_, {"--auth-reply", reply});
    ASSERT_TRUE(app.ok());
    RelayLink link;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openWith(app, link), accepted) << reply;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took.count(), wait * 0.95) << reply;
  }
}

TEST_F(RelayLinkOpen, FailsWhenTheApplicationRefusesClosesOrIsSilent) {
  test::shortWaits();
  for (const char* option : {"--refuse-all", "--auth-close", "--auth-never"}) {
    testkit::StandinApp app(home_, {option});
    ASSERT_TRUE(app.ok());
    RelayLink link;
    EXPECT_FALSE(openWith(app, link)) << option;
    EXPECT_FALSE(link.linked()) << option;
  }
  RelayLink link;
  EXPECT_FALSE(link.open(IpcInfo(testkit::unused_port(), "t", std::nullopt)));
}

}  // namespace
}  // namespace karvo::safari
