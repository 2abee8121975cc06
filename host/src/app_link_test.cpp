#include "app_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "sys.h"
#include "utf8.h"

namespace karvo {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 and a thread that plays the application on the first connection.
class FakeApp {
 public:
  explicit FakeApp(std::function<void(int conn)> script, int backlog = 8) {
    listener_.reset(testkit::tcp_socket().release());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_.get(), backlog), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (script) {
      thread_ = std::thread([this, script = std::move(script)] {
        UniqueFd conn(testkit::accept_connection(listener_.get()).release());
        if (conn) script(conn.get());
      });
    }
  }
  ~FakeApp() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  IpcInfo info(std::string token = "secret") const { return {port_, std::move(token), std::nullopt}; }

  // Reads one line (without LF) from the client.
  static std::string read_line(int fd) {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  static void send(int fd, std::string_view text) { ASSERT_TRUE(send_all(fd, text)); }

 private:
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST(AppLink, AuthenticatesAndKeepsBytesBehindTheReply) {
  std::string auth;
  std::optional<AppLink> link;
  {
    FakeApp app([&](int fd) {
      auth = FakeApp::read_line(fd);
      FakeApp::send(fd, "{\"type\":\"auth\",\"ok\":true}\r\n{\"hello\":1}\n  \t\n  last line \r");
    });
    link = connect_app(app.info("q\"b\\s/ü\x01"));
  }
  EXPECT_EQ(auth, R"({"role":"browser","token":"q\"b\\s/ü\u0001","type":"auth"})");
  ASSERT_TRUE(link.has_value());
  ASSERT_EQ(read_app_line(*link), ReadLine::line);
  EXPECT_EQ(link->line, R"({"hello":1})");
  ASSERT_EQ(read_app_line(*link), ReadLine::line);
  EXPECT_EQ(link->line, "");  // blank lines come back empty; the relay skips them
  ASSERT_EQ(read_app_line(*link), ReadLine::line);
  EXPECT_EQ(link->line, "last line");  // a last line without LF still counts
  EXPECT_EQ(read_app_line(*link), ReadLine::end);
}

TEST(AppLink, RejectsEveryReplyButOkTrue) {
  const char* replies[] = {
      "{\"ok\":\"true\"}\n", "{\"ok\":1}\n", "{\"ok\":false,\"type\":\"auth\"}\n", "[true]\n",
      "{\"type\":\"hello\"}\n", "{\"ok\":true} x\n", "\n", "{\"ok\":true,\"t\":\"\xC3\"}\n",
      "",  // closes right after reading the authentication message
  };
  for (const char* reply : replies) {
    SCOPED_TRACE(reply);
    FakeApp app([&](int fd) {
      FakeApp::read_line(fd);
      FakeApp::send(fd, reply);
    });
    EXPECT_FALSE(connect_app(app.info()).has_value());
  }
}

// A reply line is read up to 64 KiB (before its LF); one byte more and it is refused.
TEST(AppLink, AReplyLineIsReadUpTo64KiB) {
  const std::string head = R"({"ok":true,"pad":")";
  for (const std::size_t size : {std::size_t{64 * 1024}, std::size_t{64 * 1024 + 1}}) {
    SCOPED_TRACE(size);
    FakeApp app([&](int fd) {
      FakeApp::read_line(fd);
      FakeApp::send(fd, head + std::string(size - head.size() - 2, 'x') + "\"}\n");
    });
    EXPECT_EQ(connect_app(app.info()).has_value(), size == 64 * 1024);
  }
}

TEST(AppLink, RefusedConnectionFailsAtOnce) {
  std::uint16_t port;
  { port = FakeApp(nullptr).info().port; }  // nothing listens there any more
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connect_app({port, "t", std::nullopt}).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);  // not the connect limit
}

TEST(AppLink, ReadingSideEndsOnInvalidUtf8) {
  std::optional<AppLink> link;
  {
    FakeApp app([&](int fd) {
      FakeApp::read_line(fd);
      FakeApp::send(fd, "{\"ok\":true}\n\"fine\"\n\"bad \xC0\xAF\"\n\"after\"\n");
    });
    link = connect_app(app.info());
  }
  ASSERT_TRUE(link);
  ASSERT_EQ(read_app_line(*link), ReadLine::line);
  EXPECT_EQ(link->line, "\"fine\"");
  EXPECT_EQ(read_app_line(*link), ReadLine::error);
}

TEST(AppLink, SendLineWritesCanonicalText) {
  std::string received;
  FakeApp app([&](int fd) {
    FakeApp::read_line(fd);
    FakeApp::send(fd, "{\"ok\":true}\n");
    received = FakeApp::read_line(fd);
    received += "|" + FakeApp::read_line(fd);
  });
  std::optional<AppLink> link = connect_app(app.info());
  ASSERT_TRUE(link);
  json::Value msg{json::Object{}};
  msg.insert("type", "x");
  msg.insert("id", std::uint64_t{7});
  EXPECT_TRUE(send_line(link->stream.get(), msg));
  EXPECT_TRUE(send_line(link->stream.get(), json::Value{}));
  app.join();
  EXPECT_EQ(received, R"({"id":7,"type":"x"}|null)");
}

// The waits of the link: these take the real 0.8 s and 5 s.
TEST(AppLinkClock, SilentApplicationTimesOutAfterFiveSeconds) {
  // The application keeps the link open and silent until the host has given up, so only the host's own
  // limit can end the wait.
  std::promise<void> given_up;
  FakeApp app([&, done = given_up.get_future().share()](int fd) {
    FakeApp::read_line(fd);
    done.wait_for(60s);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connect_app(app.info()).has_value());
  const auto took = std::chrono::steady_clock::now() - start;
  given_up.set_value();
  EXPECT_GE(took, 4900ms);
  EXPECT_LT(took, 30s);
}

// The 5 s are for the whole reply: an application that drips it, each byte well within 5 s of the last,
// is refused all the same.
TEST(AppLinkClock, ADrippedReplyIsRefusedAfterFiveSeconds) {
  FakeApp app([&](int fd) {
    FakeApp::read_line(fd);
    for (const char c : std::string_view("{\"ok\":true}\n")) {
      if (!send_all(fd, std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(600ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connect_app(app.info()).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4900ms);
}

TEST(AppLinkClock, UnansweredConnectGivesUpAfterTheConnectLimit) {
  // A listener that never accepts, with its queue already full: further SYNs go unanswered.
  FakeApp app(nullptr, 0);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    UniqueFd fd(testkit::tcp_socket(/*nonblocking=*/true).release());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(app.info().port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(std::move(fd));
  }
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connect_app(app.info()).has_value());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 750ms);
  EXPECT_LT(took, 30s);  // a connect without a limit would wait for the system's SYN retries
}

TEST(Utf8, ValidityAndWhiteSpaceTrim) {
  EXPECT_TRUE(is_valid_utf8("plain ü € 𝄞"));
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  struct {
    const char* in;
    const char* out;
  } trims[] = {
      {" \t\r\n\v\f x \r\n", "x"},
      {"\xC2\xA0\xE3\x80\x80x\xE2\x80\xAF\xC2\x85", "x"},
      {"\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x81\x9F\xE1\x9A\x80", ""},
      {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},  // a byte-order mark is not white space
      {"a\xE2\x80\x8B", "a\xE2\x80\x8B"},    // neither is U+200B
      {"  ", ""},
  };
  for (const auto& t : trims) EXPECT_EQ(trim_unicode_space(t.in), t.out) << t.in;
}

}  // namespace
}  // namespace karvo
