// Small POSIX helpers shared by the test kit, the stand-in application and the browser tool. Where Linux
// and macOS differ (SOCK_CLOEXEC, accept4, pipe2, MSG_NOSIGNAL, SO_NOSIGPIPE), the difference is here
// and nowhere else.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace karvo::testkit {

// Sole owner of a file descriptor; closes it when it goes out of scope.
class OwnedFd {
 public:
  OwnedFd() noexcept = default;
  explicit OwnedFd(int fd) noexcept : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// A pipe whose two ends are close-on-exec. Both ends are empty when the pipe cannot be made.
struct Pipe {
  OwnedFd read_end;
  OwnedFd write_end;
};
std::optional<Pipe> make_pipe();

// A new TCP socket (IPv4), close-on-exec, optionally non-blocking, that never raises SIGPIPE where the
// platform has SO_NOSIGPIPE (send with kSendFlags for the rest). Invalid on failure, errno set.
OwnedFd tcp_socket(bool nonblocking = false);

// The next connection on a listening socket, close-on-exec, optionally non-blocking, with SO_NOSIGPIPE
// where it exists. Invalid on failure, errno set as accept() sets it (EINTR is not retried here, so that
// callers that poll see it).
OwnedFd accept_connection(int listener, bool nonblocking = false);

// Flags for send() that keep SIGPIPE away where the platform has no SO_NOSIGPIPE.
#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0;
#endif

// Writes every byte to a blocking descriptor, retrying interrupted and short writes.
bool write_fully(int fd, std::string_view bytes);

// Sets or clears O_NONBLOCK.
bool set_nonblocking(int fd, bool on);

// "48 69" or "4869" -> "Hi"; blanks between bytes are allowed. Nothing on odd digits or non-hex.
std::optional<std::string> hex_decode(std::string_view text);

// Path of the running executable, or nothing when the platform cannot tell.
std::optional<std::string> self_executable();

// The directory part of a path ("" when it has none).
std::string parent_dir(std::string_view path);

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

// Creates a directory and all missing parents (mode before umask).
bool make_dirs(const std::string& path, mode_t mode = 0755);

}  // namespace karvo::testkit
