// Whole-file reads over POSIX, the same on Apple platforms and Linux: the file is judged by its
// descriptor, so that what is checked is what is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "../unique_fd.h"
#include "file_system.h"

namespace karvo::safari::platform {

std::optional<std::string> fileContents(const std::string& path, std::size_t limit) {
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
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > limit) return std::nullopt;
  // One byte more than the limit tells a file that grew past it while it was read.
  std::string contents(limit + 1, '\0');
  std::size_t used = 0;
  while (used < contents.size()) {
    const ssize_t n = ::read(fd.get(), contents.data() + used, contents.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > limit) return std::nullopt;
  contents.resize(used);
  return contents;
}

}  // namespace karvo::safari::platform
