#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "unique_fd.h"

namespace karvo::reg {
namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

UniqueFd open_retrying(int dir, const char* name, int flags, mode_t mode = 0) {
  UniqueFd fd;
  do {
    fd.reset(::openat(dir, name, flags | O_CLOEXEC, mode));
  } while (!fd && errno == EINTR);
  return fd;
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOCTTY;

// Opens the folder `dir`, making what is missing when `own` is given (each folder made is added to
// `made`). Without an anchor the path is taken as given; with one, it is walked down from the anchor
// following no link below it. An invalid descriptor and errno on failure.
UniqueFd open_folder(const std::string& dir, const std::string& anchor, const Ownership* own,
                     std::vector<std::string>* made) {
  std::string start = anchor;
  if (anchor.empty()) {
    UniqueFd fd = open_retrying(AT_FDCWD, dir.c_str(), kFolderFlags);
    if (fd || errno != ENOENT || own == nullptr) return fd;
    start = "/";  // make the missing folders, walking from the top as the user would
  }
  std::string base = start;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (!(dir == base || (base == "/" && dir.starts_with('/')) || dir.starts_with(base + "/"))) {
    errno = EINVAL;
    return UniqueFd();
  }
  const int no_follow = anchor.empty() ? 0 : O_NOFOLLOW;
  UniqueFd at = open_retrying(AT_FDCWD, base.c_str(), kFolderFlags);
  std::string walked = base == "/" ? std::string() : base;
  std::size_t pos = base == "/" ? 0 : base.size();
  while (at && pos < dir.size()) {
    const std::size_t next = dir.find('/', pos + 1);
    const std::string name = dir.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
    pos = next == std::string::npos ? dir.size() : next;
    if (name.empty() || name == ".") continue;
    walked += "/" + name;
    UniqueFd child = open_retrying(at.get(), name.c_str(), kFolderFlags | no_follow);
    if (!child && errno == ENOENT && own != nullptr) {
      const bool made_here = ::mkdirat(at.get(), name.c_str(), own->folder_mode) == 0;
      if (!made_here && errno != EEXIST) return UniqueFd();
      child = open_retrying(at.get(), name.c_str(), kFolderFlags | no_follow);
      // The mode asked for whatever the umask, set on the folder that was opened.
      if (child && made_here) {
        if (::fchmod(child.get(), own->folder_mode) != 0) return UniqueFd();
        if (made != nullptr) made->push_back(walked);
      }
    }
    at = std::move(child);
  }
  return at;
}

// The folder that holds `path`, opened as the anchor says, with the name of `path` in it.
UniqueFd open_parent(const std::string& path, const std::string& anchor, std::string& name) {
  name = base_name(path);
  return open_folder(parent_of(path), anchor, nullptr, nullptr);
}

}  // namespace

std::optional<std::string> read_text(const std::string& path, int* error, const std::string& anchor,
                                     std::size_t max_size) {
  auto fail = [&](int e) -> std::optional<std::string> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
  UniqueFd fd;
  if (anchor.empty()) {
    fd = open_retrying(AT_FDCWD, path.c_str(), kFlags);
  } else {
    std::string name;
    const UniqueFd dir = open_parent(path, anchor, name);
    if (!dir) return fail(errno);
    fd = open_retrying(dir.get(), name.c_str(), kFlags | O_NOFOLLOW);
  }
  if (!fd) return fail(errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  if (static_cast<unsigned long long>(st.st_size) > max_size) return fail(EFBIG);
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return text;
    // A file that grows while it is read is judged by what it became.
    if (static_cast<std::size_t>(n) > max_size - text.size()) return fail(EFBIG);
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<bool> file_contains(const std::string& path, std::string_view needle, std::size_t limit) {
  const UniqueFd fd = open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
  struct stat st{};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || needle.empty()) return std::nullopt;
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

Ownership home_ownership() { return Ownership{0700, {}}; }

Ownership system_ownership(const std::string& root) { return Ownership{0755, root.empty() ? std::string("/") : root}; }

int write_text_atomically(const std::string& path, std::string_view content, const Ownership& own,
                          bool replace_folder, mode_t file_mode, std::vector<std::string>* made) {
  const UniqueFd dir = open_folder(parent_of(path), own.anchor, &own, made);
  if (!dir) return errno;
  const std::string name = base_name(path);
  struct stat st{};
  if (replace_folder && ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
      ::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR) != 0) {
    return errno;
  }
  // A fresh name in the same folder, made there exclusively and never through a link.
  static std::atomic<unsigned> counter{0};
  UniqueFd fd;
  std::string temp;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    temp = ".karvo-register." + std::to_string(::getpid()) + "." + std::to_string(counter++) + "." +
           std::to_string(static_cast<unsigned long long>(tick) % 1000000007ULL);
    fd = open_retrying(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600);
    if (!fd && errno != EEXIST) return errno;
  }
  if (!fd) return EEXIST;
  int rc = 0;
  if (!write_all(fd.get(), content) || ::fchmod(fd.get(), file_mode) != 0 || ::fsync(fd.get()) != 0) rc = errno;
  fd.reset();
  if (rc == 0 && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) rc = errno;
  if (rc != 0) ::unlinkat(dir.get(), temp.c_str(), 0);
  return rc;
}

int remove_file(const std::string& path, const std::string& anchor) {
  std::string name;
  const UniqueFd dir = open_parent(path, anchor, name);
  if (!dir) return errno;
  return ::unlinkat(dir.get(), name.c_str(), 0) == 0 ? 0 : errno;
}

bool remove_empty_folder(const std::string& dir, const std::string& anchor) {
  std::string name;
  const UniqueFd parent = open_parent(dir, anchor, name);
  return parent && ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0;
}

bool exists_no_follow(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string under_root(std::string_view root, std::string_view path) {
  if (root.empty()) return std::string(path);
  std::string out(root);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  if (!path.starts_with('/')) out += '/';
  out += path;
  return out;
}

}  // namespace karvo::reg
