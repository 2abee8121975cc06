// Linux stand-ins only: the standard descriptors, and writing whole buffers to a descriptor.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace karvo::safari::platform {

// Writes every byte, retrying interrupted and short writes; gives up silently on an error.
inline void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Opens the null device on each of descriptors 0, 1 and 2 that is closed; false when one of them cannot be
// opened. Called first thing, before anything else is opened: otherwise a link to the application could
// take a closed standard number and receive the replies or the log meant for that stream.
inline bool ensureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // Every lower number is open by now, so this one is the lowest free.
    int opened;
    do {
      opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    } while (opened < 0 && errno == EINTR);
    if (opened != fd) {
      if (opened >= 0) ::close(opened);
      return false;
    }
  }
  return true;
}

}  // namespace karvo::safari::platform
