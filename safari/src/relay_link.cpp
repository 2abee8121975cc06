#include "relay_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>

#include "platform/json_text.h"
#include "timing.h"

namespace karvo::safari {
namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer gives EPIPE, never the signal
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE on the socket does the same
#endif

UniqueFd newStreamSocket() {
#if defined(SOCK_CLOEXEC)
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
#else
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (fd) ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
#endif
  if (!fd) return fd;
  const int on = 1;
#if defined(SO_NOSIGPIPE)
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// A blocking connect; an interrupted one is waited for until it completes.
bool connectLoopback(int fd, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINTR) return false;
  pollfd entry{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

bool typeIsAuth(const Json& object) { return memberTextEquals(object, "type", "auth"); }

}  // namespace

bool RelayLink::open(const IpcInfo& info) {
  UniqueFd socket = newStreamSocket();
  if (!socket) return false;
  if (!connectLoopback(socket.get(), info.port())) return false;
  adopt(std::move(socket));

  const Json authentication = {{"type", "auth"}, {"token", info.token()}, {"role", "browser"}};
  if (!write(authentication)) {
    drop();
    return false;
  }
  std::vector<Json> received;
  if (!read(typeIsAuth, scaled(waits::kAuthentication), received)) {
    drop();
    return false;
  }
  // The reply ends the wait when it carries "type" "auth"; without one, the last object that came decides.
  if (!received.empty() && boolMember(received.back(), "ok") == true) return true;
  drop();
  return false;
}

void RelayLink::adopt(UniqueFd socket) {
  fd_ = std::move(socket);
  pending_.clear();
  skipping_ = false;
}

bool RelayLink::write(const Json& object) {
  if (!fd_) return false;
  auto text = platform::serializeJson(object);
  if (!text) return false;
  text->push_back('\n');
  const char* data = text->data();
  std::size_t left = text->size();
  while (left > 0) {
    const ssize_t sent = ::send(fd_.get(), data, left, kSendFlags);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      drop();
      return false;
    }
    data += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool RelayLink::read(const Until& until, double timeout, std::vector<Json>& into) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
  const auto buffer = std::make_unique<char[]>(kReceiveBufferSize);
  std::size_t consumed = 0;  // bytes of pending_ already taken as lines
  std::size_t scanned = 0;   // bytes of pending_ known to hold no line feed
  for (;;) {
    const auto newline = pending_.find('\n', std::max(consumed, scanned));
    if (newline != std::string::npos) {
      auto value = platform::parseJson(std::string_view(pending_).substr(consumed, newline - consumed));
      consumed = newline + 1;
      if (!value || !value->is_object()) continue;
      into.push_back(std::move(*value));
      if (until && until(into.back())) {
        pending_.erase(0, consumed);
        return true;
      }
      continue;
    }
    pending_.erase(0, consumed);
    scanned = pending_.size();
    consumed = 0;

    const std::chrono::duration<double> left = deadline - Clock::now();
    if (left.count() <= 0 || !fd_) break;
    const double milliseconds = std::ceil(left.count() * 1000.0);
    const int pollTimeout = milliseconds < 1.0 ? 1
                            : milliseconds > 2147483647.0 ? 2147483647
                                                          : static_cast<int>(milliseconds);
    pollfd entry{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, pollTimeout);
    if (ready == 0) return true;
    if (ready < 0) {
      if (errno == EINTR) continue;
      drop();
      return false;
    }
    ssize_t received = 0;
    do {
      received = ::recv(fd_.get(), buffer.get(), kReceiveBufferSize, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
      drop();
      return false;
    }
    keep(std::string_view(buffer.get(), static_cast<std::size_t>(received)));
    scanned = std::min(scanned, pending_.size());
  }
  return static_cast<bool>(fd_);
}

void RelayLink::keep(std::string_view received) {
  if (skipping_) {
    const auto newline = received.find('\n');
    if (newline == std::string_view::npos) return;
    skipping_ = false;
    received.remove_prefix(newline + 1);
  }
  const std::size_t before = pending_.size();
  pending_.append(received);
  if (pending_.size() > kMaxLineBytes && pending_.find('\n', before) == std::string::npos) {
    std::string().swap(pending_);
    skipping_ = true;
  }
}

void RelayLink::drop() {
  fd_.reset();
  pending_.clear();
  skipping_ = false;
}

}  // namespace karvo::safari
