// karvo-floor-relay: the least that a relay between a browser and the desktop application has to do, as
// a yardstick for karvo-host. It keeps the host's contract and nothing more: the first browser frame
// becomes the first line, the endpoint file gives the port and token, it connects to 127.0.0.1 and
// authenticates, then browser frames go to the application as lines and application lines come back as
// frames, one write per message each way, until either side ends. No JSON is parsed, nothing is checked,
// nothing is logged. Only the C library is used, so that no runtime costs it anything at start-up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr std::size_t kFailed = static_cast<std::size_t>(-1);
constexpr std::size_t kKeepAtMost = 1024 * 1024;  // a larger message buffer is not kept for the next

// A close-on-exec TCP socket, or -1. Without SOCK_CLOEXEC (macOS) the flag follows at once; the relay has
// no other thread yet that could start a process in between.
int new_tcp_socket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

// Standard input, read ahead so that a burst of small frames costs one read each few frames.
struct Input {
  std::size_t pos = 0, end = 0;
  char buf[kBufferSize];
};
Input input;

// A growable byte buffer.
struct Bytes {
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() { std::free(data); }

  char* data = nullptr;
  std::size_t size = 0, capacity = 0;
  bool reserve(std::size_t n) {
    if (n <= capacity) return true;
    char* grown = static_cast<char*>(std::realloc(data, n));
    if (grown == nullptr) return false;
    data = grown;
    capacity = n;
    return true;
  }
  bool append(const char* p, std::size_t n) {
    if (size + n > capacity && !reserve(size + n > 2 * capacity ? size + n : 2 * capacity)) return false;
    std::memcpy(data + size, p, n);
    size += n;
    return true;
  }
  void release() {
    std::free(data);
    data = nullptr;
    size = capacity = 0;
  }
};

int link_fd = -1;

// Copies up to n bytes of standard input into dst: fewer only at the end of input, kFailed on an error.
std::size_t take(char* dst, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (input.pos < input.end) {
      const std::size_t k = n - done < input.end - input.pos ? n - done : input.end - input.pos;
      std::memcpy(dst + done, input.buf + input.pos, k);
      input.pos += k;
      done += k;
      continue;
    }
    const bool direct = n - done >= kBufferSize;
    const ssize_t r = ::read(STDIN_FILENO, direct ? dst + done : input.buf, direct ? n - done : kBufferSize);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return kFailed;
    if (r == 0) return done;
    if (direct) {
      done += static_cast<std::size_t>(r);
    } else {
      input.pos = 0;
      input.end = static_cast<std::size_t>(r);
    }
  }
  return done;
}

// Reads one frame's body into `body`; false at the end of input or on a failure.
bool next_frame(Bytes& body) {
  unsigned char header[4];
  if (take(reinterpret_cast<char*>(header), 4) != 4) return false;
  const std::size_t length = std::size_t{header[0]} | std::size_t{header[1]} << 8 |
                             std::size_t{header[2]} << 16 | std::size_t{header[3]} << 24;
  if (!body.reserve(length == 0 ? 1 : length)) return false;
  body.size = length;
  return take(body.data, length) == length;
}

// Writes every byte of the parts, as one writev in the common case.
bool write_parts(int fd, iovec* parts, int count) {
  while (count > 0) {
    const ssize_t w = ::writev(fd, parts, count);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    auto written = static_cast<std::size_t>(w);
    while (count > 0 && written >= parts->iov_len) {
      written -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + written;
      parts->iov_len -= written;
    }
  }
  return true;
}

bool send_line(const char* text, std::size_t size) {
  char lf = '\n';
  iovec parts[2] = {{const_cast<char*>(text), size}, {&lf, 1}};
  return write_parts(link_fd, parts, 2);
}

bool write_frame(const char* body, std::size_t size) {
  const auto length = static_cast<std::uint32_t>(size);
  unsigned char header[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                             static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  iovec parts[2] = {{header, 4}, {const_cast<char*>(body), size}};
  return write_parts(STDOUT_FILENO, parts, 2);
}

// Browser frames to application lines, until either side ends; then the whole process ends.
void* browser_to_app(void*) {
  Bytes body;
  while (next_frame(body)) {
    if (!send_line(body.data, body.size)) break;
    if (body.capacity > kKeepAtMost) body.release();
  }
  ::shutdown(link_fd, SHUT_RDWR);
  std::_Exit(0);
}

// The port and token of the endpoint file, found by their keys; no JSON parsing.
bool read_endpoint(std::uint16_t& port, Bytes& token) {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return false;
  Bytes path;
  const char kTail[] = "/Library/Application Support/com.karvo.app/ipc.json";
  if (!path.append(home, std::strlen(home)) || !path.append(kTail, sizeof kTail)) return false;
  const int fd = ::open(path.data, O_RDONLY | O_CLOEXEC);
  path.release();
  if (fd < 0) return false;
  char text[4096];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* p = std::strstr(text, "\"port\"");
  if (p == nullptr) return false;
  p = std::strchr(p + 6, ':');
  if (p == nullptr) return false;
  port = static_cast<std::uint16_t>(std::strtoul(p + 1, nullptr, 10));
  p = std::strstr(text, "\"token\"");
  if (p == nullptr || (p = std::strchr(p + 7, '"')) == nullptr) return false;
  const char* end = std::strchr(p + 1, '"');
  return end != nullptr && token.append(p + 1, static_cast<std::size_t>(end - p - 1));
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  Bytes first;
  if (!next_frame(first)) return 0;

  std::uint16_t port = 0;
  Bytes token;
  if (!read_endpoint(port, token)) return 0;
  link_fd = new_tcp_socket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (link_fd < 0 || ::connect(link_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return 0;
  }
  const int one = 1;
  ::setsockopt(link_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  Bytes auth;
  const char kHead[] = "{\"role\":\"browser\",\"token\":\"";
  const char kTail[] = "\",\"type\":\"auth\"}";
  if (!auth.append(kHead, sizeof kHead - 1) || !auth.append(token.data, token.size) ||
      !auth.append(kTail, sizeof kTail - 1) || !send_line(auth.data, auth.size)) {
    return 0;
  }

  // Application lines: the first one is the authentication reply.
  static char buf[kBufferSize];
  std::size_t pos = 0, end = 0;
  Bytes partial;
  bool authenticated = false;
  for (;;) {
    while (pos < end) {
      const char* start = buf + pos;
      const auto* lf = static_cast<const char*>(std::memchr(start, '\n', end - pos));
      if (lf == nullptr) {
        if (!partial.append(start, end - pos)) std::_Exit(0);
        pos = end;
        break;
      }
      const char* line = start;
      auto size = static_cast<std::size_t>(lf - start);
      if (partial.size > 0) {
        if (!partial.append(start, size)) std::_Exit(0);
        line = partial.data;
        size = partial.size;
      }
      pos = static_cast<std::size_t>(lf + 1 - buf);
      if (!authenticated) {
        // The reply must say "ok":true; then the first message goes out and the writer starts.
        if (memmem(line, size, "\"ok\":true", 9) == nullptr || !send_line(first.data, first.size)) return 0;
        first.release();
        authenticated = true;
        pthread_t writer;
        if (pthread_create(&writer, nullptr, browser_to_app, nullptr) != 0) return 0;
      } else if (!write_frame(line, size)) {
        std::_Exit(0);
      }
      partial.size = 0;
      if (partial.capacity > kKeepAtMost) partial.release();
    }
    ssize_t n;
    do {
      n = ::recv(link_fd, buf, kBufferSize, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    pos = 0;
    end = static_cast<std::size_t>(n);
  }
  if (authenticated && partial.size > 0) (void)write_frame(partial.data, partial.size);
  ::shutdown(link_fd, SHUT_RDWR);
  std::_Exit(0);
}
