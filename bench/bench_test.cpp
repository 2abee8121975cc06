// The benchmark's own pieces: a wrong figure is worse than none, so the echo application and the floor
// relay must do exactly their job.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "echo_app.h"
#include "testkit.h"

namespace karvo::bench {
namespace {

using namespace std::chrono_literals;
using testkit::Child;
using testkit::LinkClient;
using testkit::ScratchHome;
constexpr auto kWait = 30s;

std::uint32_t plain_sum(std::string_view bytes) {
  std::uint32_t sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return sum;
}

TEST(ByteSum, AgreesWithAPlainSumAtEveryLengthAndByteValue) {
  std::mt19937 random(7);
  std::string bytes;
  for (std::size_t length = 0; length < 4200; ++length) {
    bytes.resize(length);
    for (char& c : bytes) c = static_cast<char>(random());
    ASSERT_EQ(byte_sum(bytes), plain_sum(bytes)) << length;
  }
  // All-0xFF bytes fill the 16-bit lanes fastest; 4 KiB crosses several folds.
  const std::string full(4096 + 13, '\xFF');
  EXPECT_EQ(byte_sum(full), plain_sum(full));
  EXPECT_EQ(byte_sum(full, 5), plain_sum(full) + 5);
}

struct EchoAppTest : ::testing::Test {
  ScratchHome home;
  std::unique_ptr<EchoApp> app = EchoApp::start(home.ipc_path());
};

TEST_F(EchoAppTest, PublishesItsEndpointAndEchoesEachLineOfAnAuthenticatedLink) {
  ASSERT_TRUE(app);
  const auto endpoint = testkit::read_file(home.ipc_path());
  ASSERT_TRUE(endpoint);
  EXPECT_NE(endpoint->find("\"port\":" + std::to_string(app->port())), std::string::npos);
  EXPECT_NE(endpoint->find("\"token\":\"" + app->token() + "\""), std::string::npos);

  auto link = LinkClient::connect(app->port());
  ASSERT_TRUE(link);
  ASSERT_TRUE(link->authenticate(app->token()));
  const std::int64_t before = now_ns();
  ASSERT_TRUE(link->send("{\"a\":1}\n{\"b\":"));  // two lines over two segments
  ASSERT_TRUE(link->send("2}\n"));
  EXPECT_EQ(link->read_line(kWait), "{\"a\":1}");
  EXPECT_EQ(link->read_line(kWait), "{\"b\":2}");
  EXPECT_GE(app->last_answer_ns(), before);
}

TEST_F(EchoAppTest, RefusesAWrongTokenAndEndsTheLink) {
  ASSERT_TRUE(app);
  auto link = LinkClient::connect(app->port());
  ASSERT_TRUE(link);
  EXPECT_FALSE(link->authenticate("not-" + app->token()));
  EXPECT_TRUE(link->wait_closed(kWait));
  EXPECT_EQ(app->refused(), 1u);
}

TEST_F(EchoAppTest, AcknowledgesLinesOverTheLimitAndEchoesOnesAtIt) {
  ASSERT_TRUE(app);
  auto link = LinkClient::connect(app->port());
  ASSERT_TRUE(link && link->authenticate(app->token()));
  const std::string at_limit(kEchoLimit, 'a');
  std::string over(kEchoLimit + 1000, 'b');
  over[12345] = '\xC3';
  ASSERT_TRUE(link->send_line(at_limit));
  ASSERT_TRUE(link->send_line(over));
  ASSERT_TRUE(link->send_line("{}"));
  EXPECT_EQ(link->read_line(kWait), at_limit);
  EXPECT_EQ(link->read_line(kWait), ack_line(over.size(), plain_sum(over)));
  EXPECT_EQ(link->read_line(kWait), "{}");  // the next line starts afresh
}

struct FloorRelayTest : EchoAppTest {
  std::unique_ptr<Child> start_floor() {
    return std::make_unique<Child>(std::vector<std::string>{testkit::bin("karvo-floor-relay")}, home.env());
  }
};

TEST_F(FloorRelayTest, RelaysFramesToLinesAndBackUntilTheBrowserCloses) {
  ASSERT_TRUE(app);
  auto floor = start_floor();
  ASSERT_TRUE(floor->started());
  // The first frame becomes the first line after the authentication; the rest follow in order, a large
  // one among them, all written at once.
  const std::string large = "\"" + std::string(2 * kEchoLimit, 'x') + "\"";
  ASSERT_TRUE(floor->write_all(testkit::frame("{\"n\":1}") + testkit::frame("{\"n\":2}") + testkit::frame(large) +
                               testkit::frame("{\"n\":3}")));
  EXPECT_EQ(testkit::read_frame(*floor, kWait), "{\"n\":1}");
  EXPECT_EQ(testkit::read_frame(*floor, kWait), "{\"n\":2}");
  EXPECT_EQ(testkit::read_frame(*floor, kWait), ack_line(large.size(), plain_sum(large)));
  EXPECT_EQ(testkit::read_frame(*floor, kWait), "{\"n\":3}");
  floor->close_stdin();
  EXPECT_EQ(floor->wait_exit(kWait), 0);
  EXPECT_EQ(app->accepted(), 1u);
}

// The floor's start-up is the yardstick for the host's: no language runtime may creep into it.
TEST_F(FloorRelayTest, LoadsNoLibraryButTheCLibrary) {
  if (KARVO_SANITIZED) GTEST_SKIP() << "sanitizer runtimes bring their own libraries";
#ifndef __linux__
  GTEST_SKIP() << "the loaded libraries are read from /proc";
#endif
  ASSERT_TRUE(app);
  auto floor = start_floor();
  ASSERT_TRUE(floor->write_all(testkit::frame("{}")));
  ASSERT_EQ(testkit::read_frame(*floor, kWait), "{}");
  const auto maps = testkit::read_file("/proc/" + std::to_string(floor->pid()) + "/maps");
  ASSERT_TRUE(maps);
  EXPECT_EQ(maps->find("libstdc++"), std::string::npos);
  EXPECT_EQ(maps->find("libgcc_s"), std::string::npos);
  EXPECT_NE(maps->find("libc.so"), std::string::npos);
}

TEST_F(FloorRelayTest, EndsWithoutAWordWhenTheTokenIsRefused) {
  ASSERT_TRUE(app);
  ASSERT_TRUE(home.write_ipc("{\"port\":" + std::to_string(app->port()) + ",\"token\":\"wrong\"}"));
  auto floor = start_floor();
  ASSERT_TRUE(floor->write_all(testkit::frame("{\"n\":1}")));
  EXPECT_EQ(floor->wait_exit(kWait), 0);
  EXPECT_EQ(floor->read_until_eof(kWait), "");
  EXPECT_EQ(app->refused(), 1u);
}

}  // namespace
}  // namespace karvo::bench
