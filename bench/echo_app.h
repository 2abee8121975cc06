// An echo application for the benchmarks: it listens on the loopback address, publishes its endpoint file
// like the desktop application does, authenticates every link and answers each line by sending it back.
// A line over kEchoLimit bytes cannot come back verbatim through a relay (the host drops application lines
// over 1 MiB), so it is answered with a short acknowledgement instead: {"size":N,"sum":S,"type":"ack"},
// N the line's length without its LF and S the sum of its bytes modulo 2^32.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sys.h"

namespace karvo::bench {

inline constexpr std::size_t kEchoLimit = 1024 * 1024;

// The byte sum that an acknowledgement carries.
std::uint32_t byte_sum(std::string_view bytes, std::uint32_t sum = 0) noexcept;
// The acknowledgement line (without LF) for a line of `size` bytes whose byte sum is `sum`.
std::string ack_line(std::size_t size, std::uint32_t sum);

class EchoApp {
 public:
  // Listens on 127.0.0.1 at a free port and writes `ipc_path` with that port and a fresh token.
  // Nothing when either fails.
  static std::unique_ptr<EchoApp> start(const std::string& ipc_path);
  // Stops listening, ends every link and waits for their threads.
  ~EchoApp();
  EchoApp(const EchoApp&) = delete;
  EchoApp& operator=(const EchoApp&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  const std::string& token() const noexcept { return token_; }
  // Monotonic clock (steady_clock, in nanoseconds) read just before the latest answer was sent.
  std::int64_t last_answer_ns() const noexcept { return last_answer_ns_.load(std::memory_order_acquire); }
  // Links accepted so far, and links whose token was refused.
  std::size_t accepted() const noexcept { return accepted_.load(); }
  std::size_t refused() const noexcept { return refused_.load(); }

 private:
  struct Link {
    testkit::OwnedFd fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  EchoApp() = default;
  void accept_loop();
  void serve(Link& link);
  void reap_finished();

  testkit::OwnedFd listener_;
  std::uint16_t port_ = 0;
  std::string token_;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::mutex links_mu_;
  std::vector<std::unique_ptr<Link>> links_;
  std::atomic<std::int64_t> last_answer_ns_{0};
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> refused_{0};
};

// Monotonic time in nanoseconds (steady_clock).
std::int64_t now_ns() noexcept;

}  // namespace karvo::bench
