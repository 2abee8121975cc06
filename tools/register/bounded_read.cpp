#include "bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "unique_fd.h"

namespace karvo::reg {
namespace {

UniqueFd open_regular(const std::string& path, int& error) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd;
  do {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  } while (!fd && errno == EINTR);
  if (!fd) {
    error = errno;
    return fd;
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) {
    error = errno;
    fd.reset();
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    fd.reset();
  }
  return fd;
}

}  // namespace

std::optional<std::string> read_bounded(const std::string& path, std::size_t limit, int* error) {
  auto fail = [&](int e) -> std::optional<std::string> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  int opened = 0;
  const UniqueFd fd = open_regular(path, opened);
  if (!fd) return fail(opened);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(errno);
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > limit) return fail(EFBIG);
  // Room for one byte more than the limit tells a file that grew past it meanwhile.
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      if (text.size() > limit) return fail(EFBIG);
      text.resize(std::min(limit + 1, text.size() * 2));
    }
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > limit) return fail(EFBIG);
  text.resize(used);
  return text;
}

std::optional<bool> file_contains(const std::string& path, std::string_view needle, std::size_t limit) {
  int error = 0;
  const UniqueFd fd = open_regular(path, error);
  if (!fd || needle.empty()) return std::nullopt;
  // Each piece is searched with the end of the one before, so that a needle across the seam is found.
  std::string window;
  std::string piece(1 << 20, '\0');
  for (std::size_t seen = 0; seen < limit;) {
    const ssize_t n = ::read(fd.get(), piece.data(), std::min(piece.size(), limit - seen));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    seen += static_cast<std::size_t>(n);
    window.append(piece.data(), static_cast<std::size_t>(n));
    if (window.find(needle) != std::string::npos) return true;
    window.erase(0, window.size() - std::min(window.size(), needle.size() - 1));
  }
  return false;
}

}  // namespace karvo::reg
