#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace karvo {

void log_line(std::string_view text) noexcept {
  try {
    std::string line;
    line.reserve(text.size() + 14);
    line.append("karvo-host: ").append(text).push_back('\n');
    std::string_view rest(line);
    while (!rest.empty()) {
      const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  } catch (...) {
    // Out of memory while logging: the line is dropped, like any line that cannot be written.
  }
}

}  // namespace karvo
