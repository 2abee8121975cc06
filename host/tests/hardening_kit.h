// Support for the fault, load and security tests of karvo-host: how many messages a build can afford,
// what a process uses, a host whose standard output is read only when the test wants (a browser
// that stops reading), an application played inside the test on a bare socket (one that stops reading,
// or has tiny socket buffers), and deterministic messages that carry their own checksum.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host_driver.h"

#ifndef KARVO_SANITIZE_BUILD
#define KARVO_SANITIZE_BUILD ""
#endif

namespace karvo::hosttest {

using Clock = std::chrono::steady_clock;
using testkit::Ms;
using testkit::OwnedFd;

// --- how much a build can afford ----------------------------------------------------------------------

inline bool sanitizer_build() { return std::string_view(KARVO_SANITIZE_BUILD) != ""; }

// A count from the environment variable `name` when it holds a positive number, else `plain` in a plain
// build and `sanitized` under a sanitizer.
inline std::size_t count_from_env(const char* name, std::size_t plain, std::size_t sanitized) {
  if (const char* text = std::getenv(name); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end != text && *end == '\0' && n > 0) return static_cast<std::size_t>(n);
  }
  return sanitizer_build() ? sanitized : plain;
}

// --- what a process uses ---------------------------------------------------------------------------

// User plus system CPU time that the process has used, in seconds.
inline std::optional<double> cpu_seconds(pid_t pid) {
  const std::optional<testkit::ProcessUsage> usage = testkit::process_usage(pid);
  if (!usage) return std::nullopt;
  return usage->cpu_seconds;
}

// Resident memory in KiB.
inline std::optional<long> resident_kib(pid_t pid) {
  const std::optional<testkit::ProcessUsage> usage = testkit::process_usage(pid);
  if (!usage) return std::nullopt;
  return usage->resident_kib;
}

// --- messages that carry their own checksum -------------------------------------------------------------

inline std::uint32_t fnv1a(std::string_view bytes, std::uint32_t h = 2166136261u) {
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

// Message number `n`: {"n":<n>,"pad":"<text>","sum":<checksum of n and the text>}, already in the form in
// which the host writes JSON (compact, keys in order, no escapes but \" and \\), so it crosses the host
// byte for byte. The text mixes ASCII, escapes and two-, three- and four-byte UTF-8; its length cycles
// within every 1,000 messages, up to about 60 KB.
inline std::string checked_message(std::uint64_t n) {
  static constexpr std::string_view kPieces[] = {"a", "b", "c", "0", "9", " ", "\\\"", "\\\\", "é", "→", "😀", "z"};
  std::size_t length = n % 1000 == 999 ? 20'000 : (n * 37) % 240;
  std::string pad;
  std::uint64_t x = n * 0x9E3779B97F4A7C15ull + 1;
  while (length-- > 0) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    pad += kPieces[x % std::size(kPieces)];
  }
  const std::string number = std::to_string(n);
  return R"({"n":)" + number + R"(,"pad":")" + pad + R"(","sum":)" + std::to_string(fnv1a(pad, fnv1a(number))) + "}";
}

// Whether `body` is a well-formed checked message whose checksum holds (independently of its number).
inline bool checksum_holds(std::string_view body) {
  const std::size_t pad_at = body.find(R"(,"pad":")");
  const std::size_t sum_at = body.rfind(R"(","sum":)");
  if (!body.starts_with(R"({"n":)") || pad_at == std::string_view::npos || sum_at == std::string_view::npos ||
      sum_at < pad_at || !body.ends_with("}")) {
    return false;
  }
  const std::string_view number = body.substr(5, pad_at - 5);
  const std::string_view pad = body.substr(pad_at + 8, sum_at - pad_at - 8);
  const std::string_view sum = body.substr(sum_at + 8, body.size() - sum_at - 9);
  return std::to_string(fnv1a(pad, fnv1a(number))) == sum;
}

// What went wrong with `body` where message `n` was expected.
inline std::string mismatch(std::uint64_t n, std::string_view body) {
  return "message " + std::to_string(n) + (checksum_holds(body) ? " lost or out of order, got " : " corrupted, got ") +
         std::string(body.substr(0, 120));
}

// --- threads that a failing test cannot leave behind ----------------------------------------------------

// A thread joined when it goes out of scope; if it is still running then, `release` runs first to unblock
// it (an assertion that failed midway must not leave the test waiting, or a joinable std::thread behind).
class Joined {
 public:
  template <class Body>
  Joined(Body body, std::function<void()> release) : release_(std::move(release)), thread_([this, body] {
    body();
    done_ = true;
  }) {}
  ~Joined() {
    if (!thread_.joinable()) return;
    if (!done_ && release_) release_();
    thread_.join();
  }
  Joined(const Joined&) = delete;
  Joined& operator=(const Joined&) = delete;

  void join() { thread_.join(); }
  bool done() const { return done_; }

 private:
  std::function<void()> release_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Writes frames of the messages checked_message(index(k)) for k in 0 .. count-1 to the host's standard
// input, in batches, on a thread of its own. Stops at the first write that fails or times out; if it is
// still writing when it goes out of scope, the host is killed to release it.
class FrameWriter {
 public:
  template <class Index>
  FrameWriter(Child& host, std::uint64_t count, Index index, Ms write_timeout = Ms(120'000))
      : thread_(
            [&host, count, index, write_timeout, this] {
              std::string batch;
              for (std::uint64_t k = 0; k < count; ++k) {
                batch += testkit::frame(checked_message(index(k)));
                if (batch.size() >= 64 * 1024 || k + 1 == count) {
                  if (!host.write_all(batch, write_timeout)) return;
                  batch.clear();
                  written_ = k + 1;
                }
              }
            },
            [&host] { host.kill(); }) {}

  std::uint64_t written() const { return written_; }
  bool done() const { return thread_.done(); }
  void join() { thread_.join(); }

 private:
  std::atomic<std::uint64_t> written_{0};
  Joined thread_;
};

// --- a host whose standard output the test reads only when it wants to -------------------------------

// karvo-host with its standard input and output on pipes that the test owns and does not read by itself
// (testkit::Child gathers output as it comes, so its child never blocks on a full pipe), and standard
// error in a file of the scratch home. It leads a process group of its own, killed with it.
class PipedHost {
 public:
  explicit PipedHost(const ScratchHome& home) : stderr_path_(home.path() + "/host-stderr") {
    auto in = testkit::make_pipe();
    auto out = testkit::make_pipe();
    if (!in || !out) return;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in->read_end.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out->write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addchdir_np(&actions, home.path().c_str());
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::string program = testkit::bin("karvo-host");
    std::vector<std::string> env = home.env();
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, &attr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    in_ = std::move(in->write_end);
    out_ = std::move(out->read_end);
    testkit::set_nonblocking(in_.get(), true);
  }
  ~PipedHost() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    if (!status_) reap(true);
  }
  PipedHost(const PipedHost&) = delete;
  PipedHost& operator=(const PipedHost&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes every byte, waiting while the pipe is full; false on failure or when `timeout` passes.
  bool write_all(std::string_view bytes, Ms timeout = Ms(60'000)) {
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty()) {
      const ssize_t n = ::write(in_.get(), bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      if (!wait_fd(in_.get(), POLLOUT, deadline)) return false;
    }
    return true;
  }
  void close_stdin() { in_.reset(); }
  void kill() {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);
  }

  // The next frame's body; nothing at end of output or when `timeout` passes (mid-frame too). A slow
  // browser: each read takes at most `chunk` bytes and is followed by `pause`.
  std::optional<std::string> read_frame(Ms timeout, std::size_t chunk = 65536, Ms pause = Ms(0)) {
    const auto deadline = Clock::now() + timeout;
    if (!fill(4, deadline, chunk, pause)) return std::nullopt;
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) length |= std::uint32_t{static_cast<unsigned char>(buf_[off_ + i])} << (8 * i);
    if (!fill(4 + std::size_t{length}, deadline, chunk, pause)) return std::nullopt;
    std::string body = buf_.substr(off_ + 4, length);
    off_ += 4 + std::size_t{length};
    if (off_ > (1u << 20)) {
      buf_.erase(0, off_);
      off_ = 0;
    }
    return body;
  }

  std::optional<int> wait_exit(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false) && Clock::now() < deadline) std::this_thread::sleep_for(Ms(10));
    return status_;
  }
  std::string stderr_text() const { return testkit::read_file(stderr_path_).value_or(""); }

 private:
  static bool wait_fd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, events, 0};
      const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1'000'000)));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return false;
    }
  }
  // Reads until `n` unread bytes are buffered, `chunk` bytes at most at a time, pausing after each read.
  bool fill(std::size_t n, Clock::time_point deadline, std::size_t chunk, Ms pause) {
    char scratch[65536];
    while (buf_.size() - off_ < n) {
      if (!wait_fd(out_.get(), POLLIN, deadline)) return false;
      const ssize_t got = ::read(out_.get(), scratch, std::min(chunk, sizeof scratch));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buf_.append(scratch, static_cast<std::size_t>(got));
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    return true;
  }
  bool reap(bool block) {
    if (status_) return true;
    int status = 0;
    pid_t rc;
    do {
      rc = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_.has_value();
  }

  std::string stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  OwnedFd in_;
  OwnedFd out_;
  std::string buf_;
  std::size_t off_ = 0;
};

// --- an application played on a bare socket -------------------------------------------------------------

// The application's end of the link, played by the test: it listens on 127.0.0.1, publishes the endpoint
// file in the scratch home, accepts one client and answers the host's authentication message. Socket
// buffer sizes can be made tiny (the kernel's minimum when given 1). Reading and writing may happen on two
// threads at once; the line buffer belongs to the reading one.
struct PeerOptions {
  int rcvbuf = 0;  // SO_RCVBUF of the accepted link; 0 keeps the system's
  int sndbuf = 0;  // SO_SNDBUF likewise
};

class PeerApp {
 public:
  explicit PeerApp(const ScratchHome& home, PeerOptions options = {}, std::string token = "peer-token")
      : token_(std::move(token)) {
    listen_ = testkit::tcp_socket();
    if (!listen_) return;
    // Set on the listening socket, so that the accepted one has them from its first byte on.
    if (options.rcvbuf > 0) ::setsockopt(listen_.get(), SOL_SOCKET, SO_RCVBUF, &options.rcvbuf, sizeof(int));
    if (options.sndbuf > 0) ::setsockopt(listen_.get(), SOL_SOCKET, SO_SNDBUF, &options.sndbuf, sizeof(int));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 4) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    ok_ = home.write_ipc(R"({"port":)" + std::to_string(port_) + R"(,"token":)" + json_string(token_) + "}");
  }

  bool ok() const { return ok_; }
  int fd() const { return link_.get(); }

  // The JSON string for `text` (quotation mark and backslash escaped; the tests use no control characters).
  static std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  }

  // Accepts the next client and accepts its authentication message, which must be exactly the host's.
  bool accept_link(Ms timeout = Ms(10'000)) {
    const auto deadline = Clock::now() + timeout;
    pollfd p{listen_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    link_ = testkit::accept_connection(listen_.get());
    if (!link_) return false;
    const int one = 1;
    ::setsockopt(link_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto auth = read_line(std::chrono::ceil<Ms>(deadline - Clock::now()));
    const std::string expected = R"({"role":"browser","token":)" + json_string(token_) + R"(,"type":"auth"})";
    EXPECT_EQ(auth.value_or("<none>"), expected);
    return auth == expected && send_all(R"({"ok":true,"type":"auth"})" "\n");
  }

  // The next line without its LF, reading at most `chunk` bytes at a time; nothing on end, error or
  // timeout (a partial line stays buffered).
  std::optional<std::string> read_line(Ms timeout, std::size_t chunk = 65536) {
    const auto deadline = Clock::now() + timeout;
    if (scratch_.size() < chunk) scratch_.resize(chunk);
    for (;;) {
      if (const std::size_t nl = buf_.find('\n', std::max(off_, scanned_)); nl != std::string::npos) {
        std::string line = buf_.substr(off_, nl - off_);
        off_ = scanned_ = nl + 1;
        return line;
      }
      buf_.erase(0, off_);  // only what is taken, once the buffer holds no whole line
      off_ = 0;
      scanned_ = buf_.size();
      const auto left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{link_.get(), POLLIN, 0};
      const int rc = ::poll(&p, 1, static_cast<int>(left));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return std::nullopt;
      const ssize_t n = ::recv(link_.get(), scratch_.data(), chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buf_.append(scratch_.data(), static_cast<std::size_t>(n));
    }
  }

  // Blocking send of every byte; false when the link fails.
  bool send_all(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(link_.get(), bytes.data(), bytes.size(), testkit::kSendFlags);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Whether the host has ended the link: end of stream (or an error) within `timeout`, skipping data.
  bool wait_closed(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    char scratch[65536];
    for (;;) {
      const auto left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{link_.get(), POLLIN, 0};
      const int rc = ::poll(&p, 1, static_cast<int>(left));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
      const ssize_t n = ::recv(link_.get(), scratch, sizeof scratch, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return true;
    }
  }

 private:
  std::string token_;
  OwnedFd listen_;
  OwnedFd link_;
  std::uint16_t port_ = 0;
  bool ok_ = false;
  std::string buf_;         // received, from off_ on not yet taken
  std::size_t off_ = 0;
  std::size_t scanned_ = 0;  // buf_ holds no LF before this
  std::vector<char> scratch_;
};

// Pulls frames from a testkit::Child in bulk (one lock per batch rather than per frame).
class FrameStream {
 public:
  explicit FrameStream(Child& child) : child_(child) {}

  // The next frame's body; nothing at end of output or when `timeout` passes without one.
  std::optional<std::string_view> next(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (buf_.size() - off_ >= 4) {
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
          length |= std::uint32_t{static_cast<unsigned char>(buf_[off_ + i])} << (8 * i);
        }
        if (buf_.size() - off_ - 4 >= length) {
          const std::string_view body(buf_.data() + off_ + 4, length);
          off_ += 4 + std::size_t{length};
          return body;  // valid until the next call
        }
      }
      if (off_ > 0) {
        buf_.erase(0, off_);
        off_ = 0;
      }
      const std::uint64_t seen = child_.activity();
      std::string more = child_.take_stdout();
      if (!more.empty()) {
        buf_ += more;
        continue;
      }
      if (child_.stdout_ended() || Clock::now() >= deadline) return std::nullopt;
      child_.wait_activity(seen, std::min(Ms(200), std::chrono::ceil<Ms>(deadline - Clock::now())));
    }
  }
  // Bytes received that do not form a whole frame.
  std::size_t leftover() const { return buf_.size() - off_; }

 private:
  Child& child_;
  std::string buf_;
  std::size_t off_ = 0;
};

}  // namespace karvo::hosttest
