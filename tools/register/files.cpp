#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "unique_fd.h"

namespace karvo::reg {
namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

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

// Creates the missing folders of `dir`, each with mode 0755 whatever the umask, so that browsers
// running as other users can read a system-wide manifest. Folders that exist are left as they are.
int make_dirs(const std::string& dir) {
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const std::string parent = parent_of(dir);
  if (parent != dir) {
    if (const int rc = make_dirs(parent); rc != 0) return rc;
  }
  if (::mkdir(dir.c_str(), 0755) != 0) return errno == EEXIST ? 0 : errno;
  return ::chmod(dir.c_str(), 0755) == 0 ? 0 : errno;
}

}  // namespace

std::optional<std::string> read_text(const std::string& path, int* error) {
  auto fail = [&](int e) -> std::optional<std::string> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  UniqueFd fd;
  do {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  } while (!fd && errno == EINTR);
  if (!fd) return fail(errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

int write_text_atomically(const std::string& path, std::string_view content) {
  const std::string dir = parent_of(path);
  if (const int rc = make_dirs(dir); rc != 0) return rc;

  std::string temp = dir + "/.karvo-register.XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) return errno;
  temp.assign(name.data());
  int rc = 0;
  if (!write_all(fd.get(), content) || ::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0) rc = errno;
  fd.reset();
  if (rc == 0 && ::rename(temp.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) ::unlink(temp.c_str());
  return rc;
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
