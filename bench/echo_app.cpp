#include "echo_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "testkit.h"

namespace karvo::bench {
namespace {

constexpr std::size_t kReceiveBuffer = 64 * 1024;

bool send_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), testkit::kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string random_token() {
  std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token.push_back(kHex[device() % 16]);
  return token;
}

}  // namespace

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint32_t byte_sum(std::string_view bytes, std::uint32_t sum) noexcept {
  // Eight bytes at a time: the even and odd bytes of each word add up in four 16-bit lanes (up to 510 per
  // word), which are folded into the total every 128 words, before they can overflow.
  constexpr std::uint64_t kLow = 0x00FF00FF00FF00FFull;
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    std::uint64_t lanes = 0;
    std::size_t words = std::min<std::size_t>(n / 8, 128);
    n -= words * 8;
    for (; words > 0; --words, p += 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      lanes += (word & kLow) + ((word >> 8) & kLow);
    }
    for (int shift = 0; shift < 64; shift += 16) sum += static_cast<std::uint32_t>((lanes >> shift) & 0xFFFF);
  }
  for (; n > 0; --n, ++p) sum += static_cast<unsigned char>(*p);
  return sum;
}

std::string ack_line(std::size_t size, std::uint32_t sum) {
  return "{\"size\":" + std::to_string(size) + ",\"sum\":" + std::to_string(sum) + ",\"type\":\"ack\"}";
}

std::unique_ptr<EchoApp> EchoApp::start(const std::string& ipc_path) {
  std::unique_ptr<EchoApp> app(new EchoApp);
  app->listener_ = testkit::tcp_socket();
  if (!app->listener_) return nullptr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(app->listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(app->listener_.get(), 128) != 0 ||
      ::getsockname(app->listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return nullptr;
  }
  app->port_ = ntohs(address.sin_port);
  app->token_ = random_token();
  const std::string endpoint =
      "{\"port\":" + std::to_string(app->port_) + ",\"token\":\"" + app->token_ + "\"}\n";
  if (!testkit::make_dirs(testkit::parent_dir(ipc_path)) || !testkit::write_file(ipc_path, endpoint)) {
    return nullptr;
  }
  try {
    app->acceptor_ = std::thread([raw = app.get()] { raw->accept_loop(); });
  } catch (...) {
    return nullptr;
  }
  return app;
}

EchoApp::~EchoApp() {
  stopping_ = true;
  if (listener_) ::shutdown(listener_.get(), SHUT_RDWR);  // wakes accept()
  if (acceptor_.joinable()) acceptor_.join();
  const std::lock_guard guard(links_mu_);
  for (auto& link : links_) ::shutdown(link->fd.get(), SHUT_RDWR);  // wakes recv()
  for (auto& link : links_) {
    if (link->thread.joinable()) link->thread.join();
  }
}

void EchoApp::accept_loop() {
  while (!stopping_) {
    const int fd = testkit::accept_connection(listener_.get()).release();
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++accepted_;
    reap_finished();
    auto link = std::make_unique<Link>();
    link->fd.reset(fd);
    Link& ref = *link;
    const std::lock_guard guard(links_mu_);
    if (stopping_) return;
    try {
      link->thread = std::thread([this, &ref] { serve(ref); });
    } catch (...) {
      continue;  // the link is closed again
    }
    links_.push_back(std::move(link));
  }
}

void EchoApp::reap_finished() {
  const std::lock_guard guard(links_mu_);
  for (auto it = links_.begin(); it != links_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = links_.erase(it);
    } else {
      ++it;
    }
  }
}

void EchoApp::serve(Link& link) {
  const int fd = link.fd.get();
  const std::string token_member = "\"token\":\"" + token_ + "\"";
  std::vector<char> buffer(kReceiveBuffer);
  std::string line;        // the line being gathered, kept only while it is at most kEchoLimit bytes
  std::size_t size = 0;    // its length so far
  std::uint32_t sum = 0;   // the byte sum of the part that was not kept
  bool authenticated = false;

  // Answers the complete line; false when the link is to end.
  const auto answer = [&] {
    if (!authenticated) {
      authenticated = line.find(token_member) != std::string::npos &&
                      line.find("\"type\":\"auth\"") != std::string::npos;
      if (!authenticated) {
        ++refused_;
        (void)send_fully(fd, "{\"ok\":false,\"type\":\"auth\"}\n");
        return false;
      }
      return send_fully(fd, "{\"ok\":true,\"type\":\"auth\"}\n");
    }
    if (size > kEchoLimit) line = ack_line(size, sum);
    line.push_back('\n');
    last_answer_ns_.store(now_ns(), std::memory_order_release);
    return send_fully(fd, line);
  };

  for (bool open = true; open;) {
    ssize_t n;
    do {
      n = ::recv(fd, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    while (open && !chunk.empty()) {
      const std::size_t lf = chunk.find('\n');
      const std::string_view part = chunk.substr(0, lf);
      chunk.remove_prefix(lf == std::string_view::npos ? chunk.size() : lf + 1);
      if (size + part.size() <= kEchoLimit) {
        line.append(part);
      } else {
        sum = byte_sum(part, byte_sum(line, sum));
        line.clear();
      }
      size += part.size();
      if (lf == std::string_view::npos) break;
      open = answer();
      line.clear();
      size = 0;
      sum = 0;
    }
  }
  ::shutdown(fd, SHUT_RDWR);
  link.done = true;
}

}  // namespace karvo::bench
