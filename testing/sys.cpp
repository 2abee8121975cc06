#include "sys.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace karvo::testkit {

void OwnedFd::reset(int fd) noexcept {
  // close() is not retried on EINTR: the descriptor is released either way.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

[[maybe_unused]] bool set_cloexec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
// Linux: a socket gets its flags as it is made.
int new_socket(bool nonblocking) {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
}
int accept_one(int listener, bool nonblocking) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
}
bool set_late_flags(int, bool) { return true; }
#else
// macOS: the flags follow right after creation. A child that another thread starts in that instant could
// inherit the descriptor: a narrow window, accepted in test programs.
int new_socket(bool) { return ::socket(AF_INET, SOCK_STREAM, 0); }
int accept_one(int listener, bool) { return ::accept(listener, nullptr, nullptr); }
bool set_late_flags(int fd, bool nonblocking) {
  return set_cloexec(fd) && (!nonblocking || set_nonblocking(fd, true));
}
#endif

// The rest of a new socket's set-up: late flags, and SO_NOSIGPIPE where it exists (elsewhere kSendFlags
// does the same per send).
OwnedFd finish_socket(int raw, bool nonblocking) {
  OwnedFd fd(raw);
  if (!fd) return fd;
  if (!set_late_flags(fd.get(), nonblocking)) return OwnedFd();
#ifdef SO_NOSIGPIPE
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  return fd;
}

}  // namespace

std::optional<Pipe> make_pipe() {
  int fds[2] = {-1, -1};
#ifdef __APPLE__
  if (::pipe(fds) != 0) return std::nullopt;
  Pipe pipe{OwnedFd(fds[0]), OwnedFd(fds[1])};
  if (!set_cloexec(fds[0]) || !set_cloexec(fds[1])) return std::nullopt;
  return pipe;
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{OwnedFd(fds[0]), OwnedFd(fds[1])};
#endif
}

OwnedFd tcp_socket(bool nonblocking) { return finish_socket(new_socket(nonblocking), nonblocking); }

OwnedFd accept_connection(int listener, bool nonblocking) {
  return finish_socket(accept_one(listener, nonblocking), nonblocking);
}

bool write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool set_nonblocking(int fd, bool on) {
  int flags = -1;
  do {
    flags = ::fcntl(fd, F_GETFL);
  } while (flags < 0 && errno == EINTR);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  int rc = -1;
  do {
    rc = ::fcntl(fd, F_SETFL, flags);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

namespace {
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<std::string> hex_decode(std::string_view text) {
  std::string out;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return std::nullopt;
      continue;
    }
    const int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<char>((high << 4) | d));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::optional<std::string> self_executable() {
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buf(size + 1, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  return std::string(buf.data());
#else
  std::vector<char> buf(PATH_MAX + 1, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::nullopt;
  return std::string(buf.data(), static_cast<std::size_t>(n));
#endif
}

std::string parent_dir(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::optional<std::string> read_file(const std::string& path) {
  OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
}

bool make_dirs(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = parent_dir(path);
  if (!parent.empty() && parent != path && !make_dirs(parent, mode)) return false;
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace karvo::testkit
