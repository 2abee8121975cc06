// The host's sockets, the same on every POSIX system: close-on-exec from the start, and SIGPIPE kept away
// from writes to a peer that has gone, per socket where the platform offers it (SO_NOSIGPIPE), per send
// otherwise (MSG_NOSIGNAL). The host also ignores SIGPIPE process-wide.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>

#include "unique_fd.h"

namespace karvo {

#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0;
#endif

// A new TCP socket, close-on-exec; invalid on failure. Where SOCK_CLOEXEC is missing (macOS) the flag is
// set right after creation: a process started by another thread in between could inherit the socket,
// which the host, with only one thread at that point, never has.
inline UniqueFd new_tcp_socket() noexcept {
#ifdef SOCK_CLOEXEC
  return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
#else
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (fd && ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) fd.reset();
  return fd;
#endif
}

// Sets SO_NOSIGPIPE where it exists; true when the socket is protected one way or the other.
inline bool suppress_sigpipe([[maybe_unused]] int fd) noexcept {
#ifdef SO_NOSIGPIPE
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == 0;
#else
  return true;
#endif
}

}  // namespace karvo
