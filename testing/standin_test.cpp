// The stand-in application: its endpoint file, its side of the link, and its misbehaviour on demand.

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "testkit.h"

namespace karvo::testkit {
namespace {

using namespace std::chrono_literals;
// Waits that end as soon as what they wait for happens; generous for loaded machines.
constexpr auto kWait = 30s;
using Json = nlohmann::json;

std::optional<LinkClient> authenticated(StandinApp& app) {
  auto link = LinkClient::connect(app.port());
  if (!link || !link->authenticate(app.token())) return std::nullopt;
  return link;
}

Json parse(const std::optional<std::string>& line) {
  return line ? Json::parse(*line, nullptr, false) : Json();
}

TEST(StandinApp, PublishesItsEndpointAndRemovesItAtExit) {
  ScratchHome home;
  StandinApp app(home);
  ASSERT_TRUE(app.ok());
  EXPECT_EQ(app.ipc_path(), home.ipc_path());
  EXPECT_EQ(file_mode(home.ipc_path()), 0600u);
  const Json ipc = Json::parse(read_file(home.ipc_path()).value_or(""), nullptr, false);
  EXPECT_EQ(ipc["port"], app.port());
  EXPECT_EQ(ipc["token"], app.token());
  EXPECT_EQ(ipc["exe"], bin("karvo-standin-app"));
  EXPECT_TRUE(app.wait_event("args --home " + home.path()));

  EXPECT_EQ(app.stop(), 0);
  EXPECT_FALSE(path_exists(home.ipc_path()));
  EXPECT_TRUE(app.wait_event("unpublished " + home.ipc_path()));
  EXPECT_TRUE(app.wait_event("exiting"));
}

TEST(StandinApp, EndpointOptionsAndEndings) {
  ScratchHome home;
  {
    StandinApp app(home, {"--app-id", "org.example.other", "--token", "t\"\\k", "--exe", "/opt/Karvo.app"});
    ASSERT_TRUE(app.ok());
    const Json ipc = Json::parse(read_file(home.ipc_path("org.example.other")).value_or(""), nullptr, false);
    EXPECT_EQ(ipc["token"], "t\"\\k");
    EXPECT_EQ(ipc["exe"], "/opt/Karvo.app");
    EXPECT_TRUE(authenticated(app).has_value());  // the token is compared after decoding
    EXPECT_TRUE(app.process().kill(SIGTERM));
    EXPECT_EQ(app.process().wait_exit(kWait), 0);
    EXPECT_FALSE(path_exists(home.ipc_path("org.example.other")));
  }
  {
    StandinApp app(home, {"--no-exe", "--exit-after", "0.2"});
    ASSERT_TRUE(app.ok());
    EXPECT_FALSE(Json::parse(read_file(home.ipc_path()).value_or(""), nullptr, false).contains("exe"));
    EXPECT_EQ(app.process().wait_exit(kWait), 0);
    EXPECT_FALSE(path_exists(home.ipc_path()));
  }
  {
    // End of standard input does not end it: a launched instance has the null device there.
    const std::string pid_file = home.path() + "/standin.pid";
    StandinApp app(home, {"--pid-file", pid_file});
    ASSERT_TRUE(app.ok());
    EXPECT_EQ(read_file(pid_file), std::to_string(app.pid()) + "\n");
    app.process().close_stdin();
    EXPECT_EQ(app.process().wait_exit(300ms), std::nullopt);
    EXPECT_TRUE(authenticated(app).has_value());
    EXPECT_TRUE(app.process().kill(SIGINT));
    EXPECT_EQ(app.process().wait_exit(kWait), 0);
    EXPECT_FALSE(path_exists(pid_file));
  }
}

TEST(StandinApp, LeavesAnEndpointFileThatIsNoLongerItsOwn) {
  ScratchHome home;
  StandinApp first(home);
  StandinApp second(home);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.stop(), 0);
  const Json ipc = Json::parse(read_file(home.ipc_path()).value_or(""), nullptr, false);
  EXPECT_EQ(ipc["port"], second.port());
}

TEST(StandinApp, ChecksTheAuthenticationMessage) {
  ScratchHome home;
  StandinApp app(home, {"--token", "secret"});
  ASSERT_TRUE(app.ok());
  struct Case {
    const char* line;
    bool ok;
  };
  const Case cases[] = {
      {R"({"role":"browser","token":"secret","type":"auth"})", true},
      {R"({"type":"auth","token":"secret","role":"browser","extra":1})", true},
      {R"({"role":"browser","token":"wrong","type":"auth"})", false},
      {R"({"role":"extension","token":"secret","type":"auth"})", false},
      {R"({"role":"browser","token":"secret","type":"hello"})", false},
      {R"({"role":"browser","token":"secret"})", false},
      {R"(["auth","secret"])", false},
      {"not json", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->send_line(c.line));
    const Json reply = parse(link->read_line(kWait));
    EXPECT_EQ(reply, Json::parse(c.ok ? R"({"ok":true,"type":"auth"})" : R"({"ok":false,"type":"auth"})"));
    if (!c.ok) {
      EXPECT_TRUE(link->wait_closed(kWait));
    }
  }
  // Snapshots include every event that the stand-in wrote before the bytes that the client has seen.
  EXPECT_EQ(app.count_events([](std::string_view e) { return e.find(" refused") != e.npos; }), 7u);
}

TEST(StandinApp, AnswersGreetingsAndMessagesWithAnId) {
  ScratchHome home;
  StandinApp app(home);
  ASSERT_TRUE(app.ok());
  auto link = authenticated(app);
  ASSERT_TRUE(link);
  // Lines without an answer first; the next answer shows that none came for them.
  ASSERT_TRUE(link->send_line(R"({"type":"note"})"));
  ASSERT_TRUE(link->send_line("[1,2]"));
  ASSERT_TRUE(link->send_line("not json"));
  ASSERT_TRUE(link->send(R"({"type":"hello","v":1})" "\r\n"));
  const Json hello = parse(link->read_line(kWait));
  EXPECT_EQ(hello["type"], "hello");
  EXPECT_FALSE(hello.contains("id"));

  ASSERT_TRUE(link->send_line(R"({"id":{"b":1,"a":[true]},"x":"é"})"));
  const Json reply = parse(link->read_line(kWait));
  EXPECT_EQ(reply["id"], Json::parse(R"({"a":[true],"b":1})"));
  EXPECT_EQ(reply["echo"]["x"], "é");

  ASSERT_TRUE(link->send_line(R"({"type":"hello","id":"h1"})"));
  const Json both = parse(link->read_line(kWait));
  EXPECT_EQ(both["type"], "hello");
  EXPECT_EQ(both["id"], "h1");

  EXPECT_TRUE(app.wait_event(R"(recv 1 {"type":"hello","id":"h1"})"));
  const auto lines = app.received(1);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(Json::parse(lines[0])["type"], "auth");
  EXPECT_EQ(lines[3], "not json");
  EXPECT_EQ(lines[4], R"({"type":"hello","v":1})" "\r");
}

TEST(StandinApp, ServesManyLinksAtOnce) {
  ScratchHome home;
  StandinApp app(home, {"--quiet"});
  ASSERT_TRUE(app.ok());
  std::vector<LinkClient> links;
  for (int i = 0; i < 24; ++i) {
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->send_line(R"({"role":"browser","token":")" + app.token() + R"(","type":"auth"})"));
    links.push_back(std::move(*link));
  }
  for (int round = 0; round < 50; ++round) {
    for (std::size_t i = 0; i < links.size(); ++i) {
      ASSERT_TRUE(links[i].send_line(R"({"id":)" + std::to_string(i * 1000 + std::size_t(round)) + "}"));
    }
  }
  for (std::size_t i = 0; i < links.size(); ++i) {
    EXPECT_EQ(parse(links[i].read_line(kWait))["ok"], true);
    for (int round = 0; round < 50; ++round) {
      ASSERT_EQ(parse(links[i].read_line(kWait))["id"], i * 1000 + std::size_t(round));
    }
  }
  // --quiet keeps the traffic out of the events, not the authentication.
  EXPECT_EQ(app.count_events([](std::string_view e) { return e.rfind("recv ", 0) == 0; }), 24u);
}

TEST(StandinApp, CommandsOnStandardInput) {
  ScratchHome home;
  StandinApp app(home);
  ASSERT_TRUE(app.ok());
  auto one = authenticated(app);
  auto two = authenticated(app);
  ASSERT_TRUE(one && two);
  ASSERT_TRUE(app.send(1, R"({"to":"one"})"));
  EXPECT_EQ(one->read_line(kWait), R"({"to":"one"})");
  ASSERT_TRUE(app.send_all(R"({"to":"all"})"));
  EXPECT_EQ(one->read_line(kWait), R"({"to":"all"})");
  EXPECT_EQ(two->read_line(kWait), R"({"to":"all"})");
  ASSERT_TRUE(app.send_raw(2, std::string("\xef\xbb\xbf{}\r\n", 7)));
  EXPECT_EQ(two->read_line(kWait), std::string("\xef\xbb\xbf{}\r", 6));
  EXPECT_TRUE(app.wait_event("sent 2 7"));
  ASSERT_TRUE(app.command("send 9 {}"));
  EXPECT_TRUE(app.wait_event("error cannot do: send 9 {}"));

  ASSERT_TRUE(app.close(1));
  EXPECT_TRUE(one->wait_closed(kWait));
  EXPECT_TRUE(app.wait_event("closed 1"));
  ASSERT_TRUE(two->send_line(R"({"id":2})"));
  EXPECT_EQ(parse(two->read_line(kWait))["id"], 2);

  ASSERT_TRUE(app.command("unpublish"));
  EXPECT_TRUE(app.wait_event("unpublished "));
  EXPECT_FALSE(path_exists(home.ipc_path()));
  ASSERT_TRUE(app.command("publish"));
  EXPECT_TRUE(wait_until([&] { return path_exists(home.ipc_path()); }, kWait));

  ASSERT_TRUE(app.close_all());
  EXPECT_TRUE(two->wait_closed(kWait));
}

TEST(StandinApp, AuthenticationMisbehaviour) {
  ScratchHome home;
  {
    // Lines sent during a held-back reply are answered after it, in order.
    StandinApp app(home, {"--auth-delay", "600"});
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(link->send_line(R"({"role":"browser","token":")" + app.token() + R"(","type":"auth"})"));
    ASSERT_TRUE(link->send_line(R"({"id":1})"));
    EXPECT_EQ(link->read_line(kWait), R"({"ok":true,"type":"auth"})");
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 590ms);
    EXPECT_EQ(parse(link->read_line(kWait))["id"], 1);
  }
  {
    StandinApp app(home, {"--auth-never"});
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    EXPECT_FALSE(link->authenticate(app.token(), 300ms));
  }
  {
    StandinApp app(home, {"--auth-close"});
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->send_line(R"({"role":"browser","token":")" + app.token() + R"(","type":"auth"})"));
    EXPECT_EQ(link->read_line(kWait), std::nullopt);
  }
  {
    StandinApp app(home, {"--refuse-all"});
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    EXPECT_FALSE(link->authenticate(app.token()));
    EXPECT_TRUE(link->wait_closed(kWait));
  }
  {
    // The reply is replaced, the link still counts as authenticated, and the extra line comes behind.
    StandinApp app(home, {"--auth-reply", R"({"ok":1})", "--after-auth", R"({"type":"behind"})"});
    auto link = LinkClient::connect(app.port());
    ASSERT_TRUE(link);
    EXPECT_FALSE(link->authenticate(app.token()));
    EXPECT_EQ(link->read_line(kWait), R"({"type":"behind"})");
    ASSERT_TRUE(link->send_line(R"({"id":3})"));
    EXPECT_EQ(parse(link->read_line(kWait))["id"], 3);
  }
}

TEST(StandinApp, TrafficMisbehaviour) {
  ScratchHome home;
  {
    StandinApp app(home, {"--send-big", "100000", "--send-invalid-utf8", "--unsolicited", R"({"type":"push"})",
                          "--unsolicited-every", "50"});
    auto link = authenticated(app);
    ASSERT_TRUE(link);
    const auto bad = link->read_line(kWait);
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->find('\xff'), std::string::npos);
    const auto big = link->read_line(kWait);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 100000u);
    EXPECT_EQ(parse(big)["id"], "big");
    EXPECT_EQ(link->read_line(kWait), R"({"type":"push"})");
    EXPECT_EQ(link->read_line(kWait), R"({"type":"push"})");
  }
  {
    StandinApp app(home, {"--echo", "--close-after", "2"});
    auto link = authenticated(app);
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->send_line(R"({"id":1,  "b":2})"));
    ASSERT_TRUE(link->send_line("[not json"));
    ASSERT_TRUE(link->send_line(R"({"id":3})"));
    EXPECT_EQ(link->read_line(kWait), R"({"id":1,  "b":2})");
    EXPECT_EQ(link->read_line(kWait), "[not json");
    EXPECT_TRUE(link->wait_closed(kWait));
    EXPECT_TRUE(app.wait_event("closed 1"));
  }
  {
    StandinApp app(home, {"--no-answer", "--close-after", "0"});
    auto link = authenticated(app);
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->wait_closed(kWait));
  }
}

TEST(StandinApp, DelayedPublishAndOptionsFromTheEnvironment) {
  ScratchHome home;
  {
    StandinApp app(home, {"--publish-delay", "1000"});
    ASSERT_TRUE(app.ok());
    EXPECT_FALSE(path_exists(home.ipc_path()));
    EXPECT_TRUE(app.wait_event("published "));
    EXPECT_TRUE(path_exists(home.ipc_path()));
  }
  {
    // As a host would start it: no options of our own, extra ones from the environment.
    const std::string events = home.data_dir() + "/standin events.log";
    Child launched({bin("karvo-standin-app"), "--background"},
                   home.env({standin_args_env({"--events", events, "--token", "a b"})}), {});
    ASSERT_TRUE(wait_until([&] { return read_file(events).value_or("").find("published ") != std::string::npos; }, kWait));
    EXPECT_EQ(Json::parse(read_file(home.ipc_path()).value_or(""), nullptr, false)["token"], "a b");
    EXPECT_EQ(read_file(events).value_or("").rfind("args --background\n", 0), 0u);
    EXPECT_TRUE(launched.kill(SIGTERM));
    EXPECT_EQ(launched.wait_exit(kWait), 0);
  }
}

TEST(StandinApp, ExitsWhenItsHomeIsGone) {
  std::unique_ptr<StandinApp> app;
  {
    ScratchHome home;
    app = std::make_unique<StandinApp>(home);
    ASSERT_TRUE(app->ok());
  }
  EXPECT_EQ(app->process().wait_exit(kWait), 0);
  EXPECT_TRUE(app->wait_event("error home directory is gone"));
}

}  // namespace
}  // namespace karvo::testkit
