// karvo-host under load: a long two-way stream through one host, and an application whose socket buffers
// are so small that every message crosses the link in many pieces. Every message must arrive once, in
// order and unchanged; each carries a checksum so that a corrupted one is told apart from a lost or
// reordered one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "hardening_kit.h"

namespace karvo::hosttest {
namespace {

TEST(HostLoad, MillionMessagesEachWayArriveOnceInOrderUnchanged) {
  // A million in the plain build; fewer under the sanitizers, which are many times slower.
  const std::uint64_t total = count_from_env("KARVO_LOAD_MESSAGES", 1'000'000, 50'000);
  ScratchHome home;
  // The stand-in sends every line back as it came: each message crosses the host once each way.
  StandinApp app(home, {"--echo", "--quiet"});
  ASSERT_TRUE(app.ok());
  auto host = start_host(home);
  const auto start = Clock::now();
  long rss_10k = 0;
  double at_10k = 0;
  std::uint64_t received = 0;
  std::uint64_t bytes = 0;
  {
    FrameWriter writer(*host, total, [](std::uint64_t k) { return k; });
    FrameStream frames(*host);
    while (received < total) {
      // A stall of a minute is a failure, however long the whole run may take.
      const std::optional<std::string_view> body = frames.next(Ms(60'000));
      if (!body) {
        ADD_FAILURE() << "no frame after " << received << " of " << total << " (" << writer.written()
                      << " written); stderr: " << host->stderr_text();
        break;
      }
      if (*body != checked_message(received)) {
        ADD_FAILURE() << mismatch(received, *body);
        break;
      }
      bytes += body->size();
      if (++received == 10'000) {
        rss_10k = resident_kib(host->pid()).value_or(0);
        at_10k = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
  }
  const long rss_end = resident_kib(host->pid()).value_or(0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(received, total);

  host->close_stdin();
  EXPECT_EQ(host->wait_exit(Ms(10'000)), 0);
  host->sync_output();  // every line written so far, not only those read yet
  EXPECT_EQ(host->stderr_text(), "");
  std::printf("karvo-host load: %llu messages each way (%.1f MB), %.1f s, %.0f messages/s; "
              "resident memory %ld KiB after 10,000 (%.1f s), %ld KiB after %llu\n",
              static_cast<unsigned long long>(total), static_cast<double>(bytes) / 1e6, seconds,
              static_cast<double>(total) / seconds, rss_10k, at_10k, rss_end,
              static_cast<unsigned long long>(total));
  // Nothing accumulates inside the host: no queue, and buffers that are reused. Only meaningful without a
  // sanitizer (their own bookkeeping grows) and over a long enough run.
  if (!sanitizer_build() && total >= 100'000) {
    EXPECT_GT(rss_10k, 0);
    EXPECT_LE(static_cast<double>(rss_end), static_cast<double>(rss_10k) * 1.10)
        << "resident memory grew from " << rss_10k << " KiB to " << rss_end << " KiB";
  }
}

TEST(HostLoad, TinySocketBuffersOnTheApplicationsSide) {
  // Every fifth message is one of about 36 KB; the others are a few hundred bytes at most.
  const std::uint64_t total = count_from_env("KARVO_TINY_BUFFER_MESSAGES", 1'000, 300);
  const auto index = [](std::uint64_t k) { return k % 5 == 4 ? k * 1000 + 999 : k; };
  ScratchHome home;
  // The kernel's smallest buffers: a window of about 2 KB, so a message crosses in many segments, the
  // host's sends wait for the application to read, and the host reads lines in many pieces.
  PeerApp app(home, {.rcvbuf = 1, .sndbuf = 1});
  ASSERT_TRUE(app.ok());
  auto host = start_host(home);
  FrameWriter writer(*host, total, index);
  ASSERT_TRUE(app.accept_link());

  // The application reads in small bites and sends each line back cut into pieces of odd sizes, some of
  // which end inside a multi-byte character.
  std::atomic<std::uint64_t> echoed{0};
  Joined peer([&] {
    static constexpr std::size_t kPieces[] = {1, 7, 2, 100, 3, 1000, 5, 3000};
    std::size_t p = 0;
    for (std::uint64_t k = 0; k < total; ++k) {
      const std::optional<std::string> line = app.read_line(Ms(60'000), 1 + k % 509);
      if (!line) {
        ADD_FAILURE() << "the application got " << k << " of " << total << " messages";
        return;
      }
      if (*line != checked_message(index(k))) {
        ADD_FAILURE() << "towards the application: " << mismatch(index(k), *line);
        return;
      }
      const std::string copy = *line + "\n";
      std::string_view rest = copy;
      while (!rest.empty()) {
        const std::size_t n = std::min(rest.size(), kPieces[p++ % std::size(kPieces)]);
        if (!app.send_all(rest.substr(0, n))) return;
        rest.remove_prefix(n);
      }
      echoed = k + 1;
    }
  }, [&] { host->kill(); });

  FrameStream frames(*host);
  std::uint64_t received = 0;
  while (received < total) {
    const std::optional<std::string_view> body = frames.next(Ms(60'000));
    if (!body) break;
    if (*body != checked_message(index(received))) {
      ADD_FAILURE() << "towards the browser: " << mismatch(index(received), *body);
      break;
    }
    ++received;
  }
  EXPECT_EQ(received, total) << echoed << " echoed; stderr: " << host->stderr_text();
  if (received < total) host->kill();
  peer.join();
  host->close_stdin();
  EXPECT_EQ(host->wait_exit(Ms(10'000)), 0);
  host->sync_output();
  EXPECT_EQ(host->stderr_text(), "");
}

}  // namespace
}  // namespace karvo::hosttest
