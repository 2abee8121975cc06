// macOS: dyld's record of the path the executable was started by.
#include <mach-o/dyld.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "executable_path.h"

namespace karvo {

std::optional<std::string> executable_path() {
  std::uint32_t size = 1024;
  std::string buf(size, '\0');
  if (::_NSGetExecutablePath(buf.data(), &size) != 0) {
    // `size` now holds the room needed, terminator included.
    buf.assign(size, '\0');
    if (::_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  }
  buf.resize(std::strlen(buf.c_str()));
  if (buf.empty()) return std::nullopt;
  return buf;
}

}  // namespace karvo
