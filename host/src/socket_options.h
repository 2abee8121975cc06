// Keeping SIGPIPE away from writes to a peer that has gone: per socket where the platform offers it
// (SO_NOSIGPIPE), per send otherwise (MSG_NOSIGNAL). The host also ignores SIGPIPE process-wide.
#pragma once

#include <sys/socket.h>

namespace karvo {

#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0;
#endif

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
