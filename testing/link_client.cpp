// LinkClient: a bare client of the application link, for talking to an application directly.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>

#include "testkit.h"

namespace karvo::testkit {

namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

// Waits until `fd` is ready for `events`; false on timeout or error.
bool wait_fd(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, left_ms(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::optional<LinkClient> LinkClient::connect(std::uint16_t port, Ms timeout) {
  OwnedFd fd = tcp_socket(/*nonblocking=*/true);
  if (!fd) return std::nullopt;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto deadline = Clock::now() + timeout;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return std::nullopt;
    if (!wait_fd(fd.get(), POLLOUT, deadline)) return std::nullopt;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return std::nullopt;
  }
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return LinkClient(std::move(fd));
}

bool LinkClient::authenticate(std::string_view token, Ms timeout) {
  const nlohmann::json auth = {{"role", "browser"}, {"token", std::string(token)}, {"type", "auth"}};
  if (!send_line(auth.dump())) return false;
  const auto reply = read_line(timeout);
  if (!reply) return false;
  const auto doc = nlohmann::json::parse(*reply, nullptr, false);
  if (!doc.is_object()) return false;
  const auto ok = doc.find("ok");
  return ok != doc.end() && ok->is_boolean() && ok->get<bool>();
}

bool LinkClient::send(std::string_view bytes) {
  const auto deadline = Clock::now() + Ms(60'000);
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), kSendFlags);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_fd(fd_.get(), POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool LinkClient::send_line(std::string_view line) {
  std::string bytes(line);
  bytes.push_back('\n');
  return send(bytes);
}

std::optional<std::string> LinkClient::read_line(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto nl = buf_.find('\n'); nl != std::string::npos) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return line;
    }
    char chunk[65536];
    const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n > 0) {
      buf_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return std::nullopt;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait_fd(fd_.get(), POLLIN, deadline)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
}

bool LinkClient::wait_closed(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  buf_.clear();
  for (;;) {
    char chunk[65536];
    const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return true;  // reset: closed as well
    if (!wait_fd(fd_.get(), POLLIN, deadline)) return false;
  }
}

void LinkClient::shutdown_write() { ::shutdown(fd_.get(), SHUT_WR); }

}  // namespace karvo::testkit
