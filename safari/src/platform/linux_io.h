// Linux stand-ins only: writing whole buffers to a descriptor.
#pragma once

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

}  // namespace karvo::safari::platform
