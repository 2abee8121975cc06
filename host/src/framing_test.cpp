#include "framing.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <cstring>
#include <functional>
#include <thread>

#include "sys.h"
#include "unique_fd.h"

namespace karvo {
namespace {

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    std::optional<testkit::Pipe> ends = testkit::make_pipe();
    if (!ends) std::abort();
    read.reset(ends->read_end.release());
    write.reset(ends->write_end.release());
  }
};

std::string header(std::uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    ASSERT_GT(n, 0);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

// What a reader is told of each body while it reads it.
struct Told final : BodyObserver {
  std::size_t length = 0;
  std::string pieces;
  void body_begins(std::size_t n) override {
    length = n;
    pieces.clear();
  }
  void body_arrived(std::string_view piece) override { pieces += piece; }
};

// Feeds `input` through a pipe (from a thread, so inputs larger than the pipe work) and reads frames.
// Every body is read with an observer, which must have been told its length and all of it, in order.
std::vector<NativeRead> read_frames(const std::string& input, std::size_t max_frames = 16) {
  Pipe p;
  std::thread feeder([&] {
    write_all(p.write.get(), input);
    p.write.reset();
  });
  FrameReader reader(p.read.get());
  std::vector<NativeRead> out;
  std::string body;
  Told told;
  while (out.size() < max_frames) {
    out.push_back(reader.next(body, told));
    if (out.back().kind != NativeRead::Kind::message) break;
    EXPECT_EQ(told.length, body.size());
    EXPECT_TRUE(told.pieces == body) << "the pieces of a body of " << body.size() << " bytes";
    out.back().body = body;
  }
  feeder.join();
  return out;
}

// What `write` puts on a descriptor, and what it logs on standard error meanwhile.
struct Written {
  bool ok;
  std::string out, err;
};
Written capture(const std::function<bool(int)>& write) {
  Pipe out, err;
  const int saved_err = ::dup(STDERR_FILENO);
  ::dup2(err.write.get(), STDERR_FILENO);
  err.write.reset();
  std::string out_text, err_text;
  std::thread out_reader([&] { out_text = read_all(out.read.get()); });
  std::thread err_reader([&] { err_text = read_all(err.read.get()); });
  const bool ok = write(out.write.get());
  out.write.reset();
  ::dup2(saved_err, STDERR_FILENO);
  ::close(saved_err);
  out_reader.join();
  err_reader.join();
  return {ok, out_text, err_text};
}

TEST(FrameReading, MessagesEndOfInputAndFailures) {
  // Several frames in one burst, an empty one among them, then a clean end.
  auto frames = read_frames(header(2) + "{}" + header(0) + header(4) + "null");
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].body, "{}");
  EXPECT_EQ(frames[1].kind, NativeRead::Kind::message);
  EXPECT_EQ(frames[1].body, "");
  EXPECT_EQ(frames[2].body, "null");
  EXPECT_EQ(frames[3].kind, NativeRead::Kind::end_of_input);

  EXPECT_EQ(read_frames("").back().kind, NativeRead::Kind::end_of_input);
  EXPECT_EQ(read_frames(header(9).substr(0, 2)).back().kind, NativeRead::Kind::end_of_input);
  EXPECT_EQ(read_frames(header(9) + "abc").back().kind, NativeRead::Kind::failure);
}

TEST(FrameReading, InboundLimitIsInclusive) {
  const std::string body(kMaxInboundMessage, 'x');
  auto frames = read_frames(header(kMaxInboundMessage) + body + header(1) + "7");
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].body.size(), kMaxInboundMessage);
  EXPECT_EQ(frames[1].body, "7");

  // One byte more fails without consuming any of the body.
  Pipe p;
  write_all(p.write.get(), header(kMaxInboundMessage + 1) + "body");
  p.write.reset();
  const NativeRead big = FrameReader(p.read.get()).next();
  EXPECT_EQ(big.kind, NativeRead::Kind::failure);
  EXPECT_STREQ(big.error, "message too large");
}

TEST(FrameReading, LargeBodyAfterSmallFramesKeepsOrder) {
  std::string input;
  for (int i = 0; i < 100; ++i) input += header(1) + std::to_string(i % 10);
  const std::string large(300000, 'y');
  input += header(static_cast<std::uint32_t>(large.size())) + large + header(2) + "ok";
  auto frames = read_frames(input, 200);
  ASSERT_EQ(frames.size(), 103u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(frames[static_cast<std::size_t>(i)].body, std::to_string(i % 10));
  EXPECT_EQ(frames[100].body, large);
  EXPECT_EQ(frames[101].body, "ok");
}

TEST(FrameWriting, HeaderIsLittleEndianAndUntranslated) {
  const std::string body(0x0A0D, 'z');
  const Written w = capture([&](int fd) { return write_native_message_to(fd, body); });
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.out, std::string("\x0D\x0A\x00\x00", 4) + body);
  EXPECT_EQ(w.err, "");
}

TEST(FrameWriting, OutboundLimitIsInclusive) {
  const std::string at_limit(kMaxOutboundMessage, 'a');
  const Written w = capture([&](int fd) { return write_native_message_to(fd, at_limit); });
  EXPECT_EQ(w.out.substr(0, 4), std::string("\x00\x00\x10\x00", 4));
  EXPECT_EQ(w.out.size(), kMaxOutboundMessage + 4);

  const Written over = capture([&](int fd) { return write_native_message_to(fd, at_limit + "a"); });
  EXPECT_TRUE(over.ok);
  EXPECT_EQ(over.out, "");
  EXPECT_EQ(over.err, "karvo-host: dropped an app message over 1 MB\n");
}

TEST(FrameWriting, OversizedMessagesBecomeTooLargeReplies) {
  const std::string pad(kMaxOutboundMessage, ' ');
  struct Case {
    std::string body;
    std::string reply;  // empty: nothing but the log line
  } cases[] = {
      {R"({"id":"r7","result":")" + pad + "\"}", R"({"error":"too-large","id":"r7","type":"error"})"},
      {R"({"id":{"b":1,"a":[2,null]},"x":")" + pad + "\"}", R"({"error":"too-large","id":{"a":[2,null],"b":1},"type":"error"})"},
      {R"({"id":null,"x":")" + pad + "\"}", R"({"error":"too-large","id":null,"type":"error"})"},
      {"[\"" + pad + "\"]", ""},
      {R"({"result":")" + pad + "\"}", ""},
      {"not json " + pad, ""},
      // A reply that would itself be too large is dropped as well.
      {R"({"id":")" + std::string(kMaxOutboundMessage, 'i') + "\"}", ""},
  };
  for (const Case& c : cases) {
    const Written w = capture([&](int fd) { return write_native_message_to(fd, c.body); });
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.err, "karvo-host: dropped an app message over 1 MB\n");
    EXPECT_EQ(w.out, c.reply.empty() ? "" : header(static_cast<std::uint32_t>(c.reply.size())) + c.reply)
        << c.body.substr(0, 40);
  }
}

#ifndef KARVO_SANITIZE_BUILD
#define KARVO_SANITIZE_BUILD ""
#endif

// An application line as large as a link line may be, of the smallest values, answered under a memory
// limit far below what a tree of it would take: the line and its "id" are all that the reply needs.
TEST(FrameWriting, TooLargeReplyOfAHugeLineNeedsNoMoreThanTheLine) {
  // The sanitizers reserve more address space than any limit that would mean something here.
  if (std::string_view(KARVO_SANITIZE_BUILD) != "") GTEST_SKIP() << "address space limits need a plain build";
  Pipe out;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{512u << 20, 512u << 20};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
    std::string line;
    line.reserve(64u << 20);
    line = R"({"id":{"n":7,"k":"r"},"v":[0)";
    while (line.size() + 3 < (64u << 20)) line += ",0";
    line += "]}";
    // Standard error stays the test's: the log line shows there.
    ::_exit(write_native_message_to(out.write.get(), line) ? 0 : 1);
  }
  out.write.reset();
  const std::string written = read_all(out.read.get());
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string reply = R"({"error":"too-large","id":{"k":"r","n":7},"type":"error"})";
  EXPECT_EQ(written, header(static_cast<std::uint32_t>(reply.size())) + reply);
}

TEST(FrameWriting, ClosedReaderIsAFailureNotASignal) {
  Pipe p;
  p.read.reset();
  // The test process does not ignore SIGPIPE; the host does. Block it here so the write can fail.
  std::signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(write_native_message_to(p.write.get(), "{}"));
}

}  // namespace
}  // namespace karvo
