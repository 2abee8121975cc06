// Linux: the kernel's link /proc/self/exe.
#include <unistd.h>

#include <string>

#include "executable_path.h"

namespace karvo {

std::optional<std::string> executable_path() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return std::nullopt;
    const auto len = static_cast<std::size_t>(n);
    if (len < buf.size()) {
      buf.resize(len);
      return buf;
    }
    // The target may have been cut short: try again with more room.
    if (buf.size() >= (std::size_t{1} << 20)) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

}  // namespace karvo
