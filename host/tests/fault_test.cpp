// karvo-host when a side fails: the application killed in the middle of a line, the browser closing in
// the middle of a frame, an application that stops reading, and a browser that stops reading. Whatever
// arrives, arrives whole and in order; a stalled side stalls only its own direction, and a stalled host
// sleeps instead of spinning.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "hardening_kit.h"

namespace karvo::hosttest {
namespace {

// CPU seconds that `pid` uses over `span`.
double cpu_over(pid_t pid, Ms span) {
  const double before = cpu_seconds(pid).value_or(0);
  std::this_thread::sleep_for(span);
  return cpu_seconds(pid).value_or(1e9) - before;
}

// Waits until `progress` has not moved for `quiet` (true), or `timeout` passes (false).
bool wait_stalled(const std::atomic<std::uint64_t>& progress, Ms quiet, Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  std::uint64_t last = progress;
  auto since = Clock::now();
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(Ms(50));
    if (const std::uint64_t now = progress; now != last) {
      last = now;
      since = Clock::now();
    } else if (Clock::now() - since >= quiet) {
      return true;
    }
  }
  return false;
}

TEST(HostFaults, ApplicationKilledInTheMiddleOfALine) {
  struct Case {
    const char* name;
    std::string half;         // what the application sends of its last line before it dies
    bool delivered;           // the end of the link ends that line: it is delivered as it came...
  };
  const Case cases[] = {
      {"at a character boundary", R"({"id":"half","text":"abc é)", true},
      // ...unless it is cut inside a character: then it is not valid UTF-8 and nothing of it is relayed.
      {"inside a character", std::string(R"({"id":"half","text":"abc )") + "\xE2\x86", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchHome home;
    StandinApp app(home, {"--no-answer"});
    ASSERT_TRUE(app.ok());
    auto host = start_host(home);
    send(*host, R"({"id":"first"})");
    ASSERT_TRUE(wait_app_lines(app, 1));  // read by the application: nothing unread turns its end into a reset

    std::string lines;
    for (std::uint64_t n = 0; n < 200; ++n) lines += checked_message(n) + "\n";
    ASSERT_TRUE(app.send_raw(1, lines));
    FrameStream frames(*host);
    for (std::uint64_t n = 0; n < 200; ++n) {
      const auto body = frames.next(Ms(10'000));
      ASSERT_TRUE(body.has_value()) << n;
      ASSERT_EQ(*body, checked_message(n));
    }
    ASSERT_TRUE(app.send_raw(1, c.half));
    ASSERT_TRUE(app.wait_event("sent 1 " + std::to_string(c.half.size())));
    ASSERT_TRUE(app.process().kill(SIGKILL));

    if (c.delivered) {
      const auto last = frames.next(Ms(10'000));
      ASSERT_TRUE(last.has_value());
      EXPECT_EQ(*last, c.half);
    }
    EXPECT_FALSE(frames.next(Ms(10'000)).has_value());
    EXPECT_EQ(frames.leftover(), 0u);
    EXPECT_EQ(host->wait_exit(Ms(5'000)), 0);  // the browser's pipe is still open
    host->sync_output();  // every line written so far, not only those read yet
    EXPECT_EQ(host->stderr_text(), "");
  }
}

TEST(HostFaults, ApplicationKilledDuringATwoWayFlood) {
  const std::uint64_t total = count_from_env("KARVO_FLOOD_MESSAGES", 200'000, 40'000);
  ScratchHome home;
  StandinApp app(home, {"--echo", "--quiet"});
  ASSERT_TRUE(app.ok());
  auto host = start_host(home);
  // Writes fail once the host is gone.
  FrameWriter writer(*host, total, [](std::uint64_t n) { return n; }, Ms(30'000));
  FrameStream frames(*host);
  std::uint64_t received = 0;
  bool killed = false;
  std::string last;
  for (;;) {
    const auto body = frames.next(Ms(20'000));
    if (!body) break;
    if (!last.empty()) {
      // Every frame but the very last is a whole message, in order.
      ASSERT_EQ(last, checked_message(received)) << mismatch(received, last);
      ++received;
    }
    last = *body;
    if (!killed && received == total / 10) {
      ASSERT_TRUE(app.process().kill(SIGKILL));
      killed = true;
    }
  }
  ASSERT_TRUE(killed);
  // The last one may be cut short by the end of the link, never changed.
  const std::string expected = checked_message(received);
  EXPECT_TRUE(expected.starts_with(last)) << mismatch(received, last);
  EXPECT_TRUE(frames.leftover() == 0);
  EXPECT_EQ(host->wait_exit(Ms(10'000)), 0);
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
  writer.join();
  EXPECT_LT(writer.written(), total);
}

struct Cut {
  const char* name;
  std::size_t header_bytes;  // of the 4 length bytes
  std::size_t body_bytes;    // of a 1,000-byte body
};

void PrintTo(const Cut& cut, std::ostream* out) { *out << cut.name; }

class BrowserClosesMidFrame : public ::testing::TestWithParam<Cut> {};

TEST_P(BrowserClosesMidFrame, WholeFramesArriveAndTheRestIsDropped) {
  const Cut& cut = GetParam();
  ScratchHome home;
  StandinApp app(home, {"--no-answer"});
  ASSERT_TRUE(app.ok());
  auto host = start_host(home);
  std::string input = testkit::frame(R"({"id":"first"})");
  for (std::uint64_t n = 0; n < 1000; ++n) input += testkit::frame(checked_message(n));
  const std::string partial = testkit::frame(R"({"id":"cut","pad":")" + std::string(1000 - 21, 'x') + "\"}");
  ASSERT_EQ(partial.size(), 1004u);
  input += partial.substr(0, cut.header_bytes < 4 ? cut.header_bytes : 4 + cut.body_bytes);
  ASSERT_TRUE(host->write_all(input));
  host->close_stdin();

  EXPECT_EQ(host->wait_exit(Ms(10'000)), 0);
  EXPECT_TRUE(app.wait_event("closed 1").has_value());  // the host ended the link
  const std::vector<std::string> lines = app_lines(app);
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(lines[0], R"({"id":"first"})");
  for (std::uint64_t n = 0; n < 1000; ++n) ASSERT_EQ(lines[n + 1], checked_message(n)) << n;
  EXPECT_EQ(host->read_until_eof(Ms(1'000)), "");
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
}

INSTANTIATE_TEST_SUITE_P(Host, BrowserClosesMidFrame,
                         ::testing::Values(Cut{"InsideTheLength", 2, 0}, Cut{"AfterTheLength", 4, 0},
                                           Cut{"InsideTheBody", 4, 500}, Cut{"OneByteShort", 4, 999}),
                         [](const ::testing::TestParamInfo<Cut>& p) { return std::string(p.param.name); });

TEST(HostFaults, ApplicationThatStopsReadingStallsOnlyItsOwnDirection) {
  // More than the pipe and the socket buffers between browser and application can hold.
  const std::uint64_t flood = count_from_env("KARVO_STALL_MESSAGES", 40'000, 40'000);
  const std::uint64_t answers = 5'000;
  ScratchHome home;
  PeerApp app(home, {.rcvbuf = 4096});
  ASSERT_TRUE(app.ok());
  auto host = start_host(home);
  send(*host, R"({"id":"first"})");
  ASSERT_TRUE(app.accept_link());
  ASSERT_EQ(app.read_line(Ms(10'000)).value_or(""), R"({"id":"first"})");

  // The application stops reading; the browser goes on writing until the host can take no more.
  std::atomic<std::uint64_t> written{0};
  Joined writer([&] {
    for (std::uint64_t n = 0; n < flood; ++n) {
      if (!host->write_all(testkit::frame(checked_message(n)), Ms(120'000))) return;
      written = n + 1;
    }
  }, [&] { host->kill(); });
  ASSERT_TRUE(wait_stalled(written, Ms(1'000), Ms(60'000)));
  ASSERT_LT(written.load(), flood) << "the browser's writes never stalled";

  // The other direction keeps flowing: everything the application sends reaches the browser.
  Joined answer([&] {
    std::string all;
    for (std::uint64_t n = 0; n < answers; ++n) all += checked_message(n) + "\n";
    EXPECT_TRUE(app.send_all(all));
  }, [&] { host->kill(); });
  FrameStream frames(*host);
  for (std::uint64_t n = 0; n < answers; ++n) {
    const auto body = frames.next(Ms(30'000));
    ASSERT_TRUE(body.has_value()) << "towards the browser, " << n << " of " << answers;
    ASSERT_EQ(*body, checked_message(n)) << n;
  }
  answer.join();
  // Blocked in its send, the host does not spin.
  const double cpu = cpu_over(host->pid(), Ms(3'000));
  const std::uint64_t stalled_at = written;
  EXPECT_FALSE(writer.done());
  std::printf("karvo-host with an application that stops reading: %llu of %llu browser messages taken, "
              "%.3f s CPU over 3 s\n",
              static_cast<unsigned long long>(stalled_at), static_cast<unsigned long long>(flood), cpu);
  EXPECT_LT(cpu, 0.15);

  // Once the application reads again, every browser message arrives, whole and in order.
  for (std::uint64_t n = 0; n < flood; ++n) {
    const auto line = app.read_line(Ms(30'000));
    ASSERT_TRUE(line.has_value()) << "towards the application, " << n << " of " << flood;
    ASSERT_EQ(*line, checked_message(n)) << n;
  }
  writer.join();
  EXPECT_EQ(written.load(), flood);
  host->close_stdin();
  EXPECT_EQ(host->wait_exit(Ms(10'000)), 0);
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
}

// The browser goes away while the host waits to send to an application that has stopped reading: the host
// notices and ends, though its send never completes.
TEST(HostFaults, BrowserEndsWhileTheApplicationHasStoppedReading) {
  for (const bool first : {true, false}) {
    SCOPED_TRACE(first ? "the first message waits" : "a later message waits");
    ScratchHome home;
    PeerApp app(home, {.rcvbuf = 4096});
    ASSERT_TRUE(app.ok());
    auto host = start_host(home);
    // More than the socket's buffers hold.
    const std::string big = R"({"id":"big","pad":")" + std::string(16u << 20, 'x') + R"("})";
    if (!first) {
      send(*host, R"({"id":"first"})");
      ASSERT_TRUE(app.accept_link());
      ASSERT_EQ(app.read_line(Ms(10'000)).value_or(""), R"({"id":"first"})");
    }
    send(*host, big);
    if (first) {
      ASSERT_TRUE(app.accept_link());
    }
    host->close_stdin();
    EXPECT_EQ(host->wait_exit(Ms(60'000)), 0);
    EXPECT_TRUE(app.wait_closed(Ms(60'000)));
  }
}

TEST(HostFaults, BrowserThatStopsReadingLeavesTheHostIdle) {
  const std::uint64_t flood = count_from_env("KARVO_STALL_MESSAGES", 40'000, 40'000);
  const std::uint64_t requests = 1'000;
  ScratchHome home;
  PeerApp app(home, {.sndbuf = 4096});
  ASSERT_TRUE(app.ok());
  PipedHost host(home);
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(host.write_all(testkit::frame(R"({"id":"first"})")));
  ASSERT_TRUE(app.accept_link());
  ASSERT_EQ(app.read_line(Ms(10'000)).value_or(""), R"({"id":"first"})");

  // The application sends far more than the browser, which reads nothing, lets through.
  std::atomic<std::uint64_t> sent{0};
  Joined sender([&] {
    for (std::uint64_t n = 0; n < flood; ++n) {
      if (!app.send_all(checked_message(n) + "\n")) return;
      sent = n + 1;
    }
  }, [&] { host.kill(); });
  ASSERT_TRUE(wait_stalled(sent, Ms(1'000), Ms(60'000)));
  ASSERT_LT(sent.load(), flood) << "the application's sends never stalled";

  // Blocked writing to the browser, the host sleeps.
  const double cpu = cpu_over(host.pid(), Ms(3'000));
  std::printf("karvo-host with a browser that stops reading: %llu of %llu application messages taken, "
              "%.3f s CPU over 3 s\n",
              static_cast<unsigned long long>(sent.load()), static_cast<unsigned long long>(flood), cpu);
  EXPECT_LT(cpu, 0.15);

  // The browser's own messages still reach the application meanwhile.
  std::string input;
  for (std::uint64_t n = 0; n < requests; ++n) input += testkit::frame(checked_message(n));
  ASSERT_TRUE(host.write_all(input));
  for (std::uint64_t n = 0; n < requests; ++n) {
    const auto line = app.read_line(Ms(30'000));
    ASSERT_TRUE(line.has_value()) << "towards the application, " << n;
    ASSERT_EQ(*line, checked_message(n)) << n;
  }

  // Once the browser reads again, every application message arrives, whole and in order.
  for (std::uint64_t n = 0; n < flood; ++n) {
    const auto body = host.read_frame(Ms(30'000));
    ASSERT_TRUE(body.has_value()) << "towards the browser, " << n << " of " << flood;
    ASSERT_EQ(*body, checked_message(n)) << n;
  }
  sender.join();
  host.close_stdin();
  EXPECT_EQ(host.wait_exit(Ms(10'000)), 0);
  EXPECT_EQ(host.stderr_text(), "");
}

// With no application, the host answers for two seconds and ends, even when the browser has stopped reading
// the answers and a reply can never be written whole.
TEST(HostFaults, UnavailableHostEndsThoughTheBrowserStopsReading) {
  ScratchHome home;
  PipedHost host(home);
  ASSERT_TRUE(host.started());
  std::string requests;
  for (int n = 0; n < 5'000; ++n) requests += testkit::frame(R"({"id":)" + std::to_string(n) + "}");
  (void)host.write_all(requests, Ms(1'000));  // the host stops taking them once its replies fill the pipe
  const auto start = Clock::now();
  EXPECT_EQ(host.wait_exit(Ms(15'000)), 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
  EXPECT_EQ(host.stderr_text(), "karvo-host: Karvo is not running\n");
  // What did reach the pipe is the replies, in order (the last one may be cut short).
  int n = 0;
  for (auto body = host.read_frame(Ms(1'000)); body; body = host.read_frame(Ms(1'000)), ++n) {
    ASSERT_EQ(*body, R"({"error":"app-unavailable","id":)" + std::to_string(n) + R"(,"type":"error"})");
  }
  EXPECT_GT(n, 0);
}


// A reply that a slow browser is still reading when the grace time is over is completed, however long it
// takes, as long as the browser keeps reading.
TEST(HostFaults, UnavailableHostCompletesAReplyThatASlowBrowserReads) {
  ScratchHome home;
  PipedHost host(home);
  ASSERT_TRUE(host.started());
  const std::string id(1'000'000, 'x');
  ASSERT_TRUE(host.write_all(testkit::frame(R"({"id":")" + id + R"("})")));
  // 64 KiB every 0.4 s: the reply takes about 6 s to read, past the grace time and the stall limit both.
  const std::optional<std::string> reply = host.read_frame(Ms(60'000), 65536, Ms(400));
  ASSERT_TRUE(reply.has_value()) << "the reply was cut off";
  EXPECT_EQ(*reply, R"({"error":"app-unavailable","id":")" + id + R"(","type":"error"})");
  EXPECT_EQ(host.wait_exit(Ms(15'000)), 0);
}

}  // namespace
}  // namespace karvo::hosttest
