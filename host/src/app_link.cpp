#include "app_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "socket_options.h"
#include "utf8.h"

namespace karvo {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{800};
constexpr int kAuthReadTimeoutSeconds = 5;
// The whole authentication reply comes within one deadline, and one no longer than this is refused: an
// application that drips it, or never ends the line, must not hold the host or its memory.
constexpr std::chrono::seconds kAuthReplyDeadline{kAuthReadTimeoutSeconds};
constexpr std::size_t kMaxAuthReply = 64 * 1024;

bool set_receive_timeout(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  tv.tv_usec = 0;
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// Connects `fd` to `addr`, giving up after kConnectTimeout. The socket is blocking again afterwards.
bool connect_within(int fd, const sockaddr_in& addr) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR) return false;
  if (rc != 0) {
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    while (deadline != std::chrono::steady_clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd, POLLOUT, 0};
      rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
      break;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  }
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

LineReader::LineReader(UniqueFd fd) : fd_(std::move(fd)) {}

LineReader::Status LineReader::read_line(std::string& out) {
  return read_line(out, std::numeric_limits<std::size_t>::max(), std::chrono::steady_clock::time_point::max());
}

LineReader::Status LineReader::read_line(std::string& out, std::size_t limit,
                                         std::chrono::steady_clock::time_point deadline) {
  out.clear();
  for (;;) {
    if (pos_ < buf_.size()) {
      const char* start = buf_.data() + pos_;
      const std::size_t avail = buf_.size() - pos_;
      const void* lf = std::memchr(start, '\n', avail);
      const std::size_t n = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : avail;
      if (out.size() + n - (lf ? 1 : 0) > limit) return Status::error;
      out.append(start, n);
      pos_ += n;
      if (lf) return Status::line;
    }
    while (deadline != std::chrono::steady_clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Status::error;
      pollfd pfd{fd_.get(), POLLIN, 0};
      const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (rc > 0) break;
      if (rc == 0 || errno != EINTR) return Status::error;
    }
    buf_.resize(kBufferSize);
    pos_ = 0;
    ssize_t n;
    do {
      n = ::recv(fd_.get(), buf_.data(), kBufferSize, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      buf_.clear();
      return Status::error;
    }
    buf_.resize(static_cast<std::size_t>(n));
    if (n == 0) return out.empty() ? Status::end : Status::line;
  }
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

// Waits until `fd` can take more bytes. While `watch` has not seen its descriptor hang up, that wait has no
// limit; afterwards it ends, false, once `last_progress` lies `watch.stall_limit` back.
bool wait_writable(int fd, const HangupWatch& watch, bool& hung_up,
                   std::chrono::steady_clock::time_point last_progress) {
  for (;;) {
    int timeout = -1;
    if (hung_up) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_progress + watch.stall_limit -
                                                                     std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(left.count());
    }
    // A hang-up is reported whatever is asked for; asking for nothing on the watched descriptor leaves its
    // unread input alone.
    pollfd fds[2] = {{fd, POLLOUT, 0}, {watch.fd, 0, 0}};
    const nfds_t count = watch.fd >= 0 && !hung_up ? 2 : 1;
    const int rc = ::poll(fds, count, timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return false;
    if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hung_up = true;
    if (fds[0].revents != 0) return true;  // writable, or an error that the next send reports
  }
}

// Sends `text` and then one LF, together in one sendmsg(2) in the common case, so that the text needs no
// room for the LF behind it. Each call takes what the socket has room for and never blocks, so that the
// waits between calls can watch `watch` too.
bool send_text_and_lf(int fd, std::string_view text, const HangupWatch& watch) {
  char lf = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&lf, 1}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  bool hung_up = false;
  auto last_progress = std::chrono::steady_clock::now();
  while (message.msg_iovlen > 0) {
    const ssize_t n = ::sendmsg(fd, &message, kSendFlags | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_writable(fd, watch, hung_up, last_progress)) return false;
      continue;
    }
    if (n <= 0) return false;
    last_progress = std::chrono::steady_clock::now();
    auto sent = static_cast<std::size_t>(n);
    while (message.msg_iovlen > 0 && sent >= message.msg_iov->iov_len) {
      sent -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + sent;
      message.msg_iov->iov_len -= sent;
    }
  }
  return true;
}

}  // namespace

bool send_text_line(int fd, std::string_view text, const HangupWatch& watch) {
  return send_text_and_lf(fd, text, watch);
}

bool send_line(int fd, const json::Value& value, std::string& buffer, const HangupWatch& watch) {
  buffer.clear();
  json::serialise_to(value, buffer);
  return send_text_and_lf(fd, buffer, watch);
}

bool send_line(int fd, const json::Value& value, const HangupWatch& watch) {
  // One buffer per thread for the messages that do not lend one.
  thread_local std::string text;
  const bool sent = send_line(fd, value, text, watch);
  if (text.capacity() > (1u << 20)) std::string().swap(text);  // keep no large message alive
  return sent;
}

bool auth_reply_accepted(std::string_view line) noexcept {
  if (!is_valid_utf8(line)) return false;
  const std::optional<json::Value> reply = json::parse(line);
  const json::Value* ok = reply ? reply->find("ok") : nullptr;
  const bool* accepted = ok ? ok->get_if<bool>() : nullptr;
  return accepted != nullptr && *accepted;
}

std::optional<AppLink> connect_app(const IpcInfo& info) {
  try {
    UniqueFd sock = new_tcp_socket();
    if (!sock || !suppress_sigpipe(sock.get())) return std::nullopt;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(info.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!connect_within(sock.get(), addr)) return std::nullopt;

    const int one = 1;
    (void)::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)set_receive_timeout(sock.get(), kAuthReadTimeoutSeconds);

    json::Value auth{json::Object{}};
    auth.insert("role", "browser");
    auth.insert("token", info.token);
    auth.insert("type", "auth");
    std::string message = json::serialise(auth);
    message.push_back('\n');
    if (!send_all(sock.get(), message)) return std::nullopt;

    UniqueFd reader_fd(::fcntl(sock.get(), F_DUPFD_CLOEXEC, 3));
    if (!reader_fd) return std::nullopt;
    AppLink link{std::move(sock), LineReader(std::move(reader_fd)), {}};

    // Only the first line counts.
    const auto deadline = std::chrono::steady_clock::now() + kAuthReplyDeadline;
    if (link.reader.read_line(link.line, kMaxAuthReply, deadline) != LineReader::Status::line) return std::nullopt;
    if (!auth_reply_accepted(link.line)) return std::nullopt;

    // From now on reads wait without a limit; the option belongs to the socket, so both handles see it.
    (void)set_receive_timeout(link.stream.get(), 0);
    (void)set_receive_timeout(link.reader.fd(), 0);
    link.line.clear();
    return link;
  } catch (...) {
    return std::nullopt;
  }
}

ReadLine read_app_line(AppLink& link) {
  switch (link.reader.read_line(link.line)) {
    case LineReader::Status::end:
      return ReadLine::end;
    case LineReader::Status::error:
      return ReadLine::error;
    case LineReader::Status::line:
      break;
  }
  if (!is_valid_utf8(link.line)) {
    link.line.clear();
    return ReadLine::error;
  }
  const std::string_view trimmed = trim_unicode_space(link.line);
  if (trimmed.size() != link.line.size()) {
    const auto offset = static_cast<std::size_t>(trimmed.data() - link.line.data());
    link.line.resize(offset + trimmed.size());
    link.line.erase(0, offset);
  }
  return ReadLine::line;
}

}  // namespace karvo
