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

// Creates the missing folders of `dir`, each with the mode asked for whatever the umask (0755 lets
// browsers running as other users read a system-wide manifest). Folders that exist are left as they are.
int make_dirs(const std::string& dir, const Ownership& own) {
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const std::string parent = parent_of(dir);
  if (parent != dir) {
    if (const int rc = make_dirs(parent, own); rc != 0) return rc;
  }
  if (::mkdir(dir.c_str(), own.folder_mode) != 0) return errno == EEXIST ? 0 : errno;
  if (::chmod(dir.c_str(), own.folder_mode) != 0) return errno;
  if (own.owner && ::lchown(dir.c_str(), own.owner->first, own.owner->second) != 0) return errno;
  return 0;
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

Ownership home_ownership(const std::string& home) {
  Ownership own;
  own.folder_mode = 0700;
  struct stat st{};
  if (::geteuid() == 0 && ::stat(home.c_str(), &st) == 0 && st.st_uid != 0) own.owner = {st.st_uid, st.st_gid};
  return own;
}

int write_text_atomically(const std::string& path, std::string_view content, const Ownership& own,
                          bool replace_folder, mode_t file_mode) {
  const std::string dir = parent_of(path);
  if (const int rc = make_dirs(dir, own); rc != 0) return rc;
  struct stat st{};
  if (replace_folder && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::rmdir(path.c_str()) != 0) {
    return errno;
  }

  std::string temp = dir + "/.karvo-register.XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) return errno;
  temp.assign(name.data());
  int rc = 0;
  if (!write_all(fd.get(), content) || ::fchmod(fd.get(), file_mode) != 0 ||
      (own.owner && ::fchown(fd.get(), own.owner->first, own.owner->second) != 0) || ::fsync(fd.get()) != 0) {
    rc = errno;
  }
  fd.reset();
  if (rc == 0 && ::rename(temp.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) ::unlink(temp.c_str());
  return rc;
}

void remove_empty_folders(const std::string& dir, const std::string& stop) {
  if (stop.empty() || stop == "/") return;  // no home known: take nothing
  std::string at = dir;
  // Only folders strictly below `stop` go, and rmdir takes none that holds anything.
  while (at.size() > stop.size() && at.starts_with(stop) && at[stop.size()] == '/') {
    if (::rmdir(at.c_str()) != 0) return;
    at = parent_of(at);
  }
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
