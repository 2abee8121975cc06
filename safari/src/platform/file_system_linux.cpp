#include "file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../unique_fd.h"

namespace karvo::safari::platform {

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::optional<std::string> fileContents(const std::string& path) {
  // Only a regular file has contents: a pipe left in its place must not block the relay, nor a device
  // that never ends fill its memory. Opening does not wait for a pipe's writer.
  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  const UniqueFd fd(raw);
  if (!fd) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string contents;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return contents;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace karvo::safari::platform
