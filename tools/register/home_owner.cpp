#include "home_owner.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "unique_fd.h"

namespace karvo::reg {
namespace {

// The owner of `path`, or of the nearest folder above it that exists. The path itself is not followed
// when it is a link: whoever could plant it there owns it.
std::optional<std::pair<uid_t, gid_t>> owner_of(std::string path) {
  while (!path.empty()) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) return std::make_pair(st.st_uid, st.st_gid);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    path.resize(slash);
  }
  return std::nullopt;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// initgroups takes the group as gid_t on Linux and as int on macOS.
template <typename Group>
int init_groups(int (*init)(const char*, Group), const char* name, gid_t gid) {
  return init(name, static_cast<Group>(gid));
}

// In the child: become the owner for good. An errno-style code on failure.
int become(const HomeOwner& owner) {
  if (!owner.name.empty() ? init_groups(&::initgroups, owner.name.c_str(), owner.gid) != 0
                          : ::setgroups(1, &owner.gid) != 0) {
    return errno;
  }
  if (::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0) return errno;
  // Checked, not assumed: every id is the owner's, and root cannot be taken back.
  if (::getuid() != owner.uid || ::geteuid() != owner.uid || ::getgid() != owner.gid || ::getegid() != owner.gid) {
    return EPERM;
  }
  if (::setuid(0) == 0 || ::seteuid(0) == 0) return EPERM;
  return 0;
}

// Lines pass from the child as text ended by a NUL byte, which no path or message holds.
constexpr char kEnd = '\0';

}  // namespace

HomeCheck foreign_home_owner(const Places& places) {
  HomeCheck check;
  if (::geteuid() != 0) return check;
  const std::string data_home = places.data_home.empty() ? places.home + "/.local/share" : places.data_home;
  std::set<std::pair<uid_t, gid_t>> users;
  for (const std::string& path : {places.home, places.config_home, data_home}) {
    if (path.empty()) continue;
    if (const auto who = owner_of(path); who && who->first != 0) users.insert(*who);
  }
  if (users.empty()) return check;
  std::set<uid_t> uids;
  for (const auto& u : users) uids.insert(u.first);
  if (uids.size() > 1) {
    check.problem = places.home + ", " + places.config_home + " and " + data_home +
                    " belong to different users; run karvo-register as the user whose home it is";
    return check;
  }
  HomeOwner owner;
  owner.uid = users.begin()->first;
  owner.gid = users.begin()->second;
  // The user's own primary group, from the user database, when it has the user.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(owner.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    owner.name = found->pw_name;
    owner.gid = found->pw_gid;
  }
  check.owner = owner;
  return check;
}

bool run_as_owner(const HomeOwner& owner, const std::function<bool(const SayFn&)>& work, const SayFn& say) {
  const std::string who = owner.name.empty() ? "user " + std::to_string(owner.uid) : owner.name;
  auto refuse = [&](const std::string& why) {
    say("error: " + why + "; run karvo-register as " + who + " instead (for example: sudo -u " +
        (owner.name.empty() ? "'#" + std::to_string(owner.uid) + "'" : owner.name) + " karvo-register ...)");
    return false;
  };
  int ends[2];
  if (::pipe(ends) != 0) return refuse(std::string("cannot make a pipe: ") + std::strerror(errno));
  UniqueFd from_child(ends[0]);
  UniqueFd to_parent(ends[1]);
  for (const int fd : {ends[0], ends[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid < 0) return refuse(std::string("cannot start a process as ") + who + ": " + std::strerror(errno));
  if (pid == 0) {
    from_child.reset();
    const int fd = to_parent.get();
    if (const int rc = become(owner); rc != 0) {
      const std::string line = "error: cannot act as " + who + " in their home: " + std::strerror(rc);
      write_all(fd, line.c_str(), line.size() + 1);
      ::_exit(3);
    }
    bool ok = false;
    try {
      ok = work([fd](const std::string& line) { write_all(fd, line.c_str(), line.size() + 1); });
    } catch (...) {
      ok = false;
    }
    ::_exit(ok ? 0 : 1);
  }
  to_parent.reset();
  std::string pending;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(from_child.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending.find(kEnd)) != std::string::npos) {
      say(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid || !WIFEXITED(status)) {
    say("error: the part done as " + who + " ended abnormally");
    return false;
  }
  if (WEXITSTATUS(status) == 3) {
    return refuse("could not become " + who);
  }
  return WEXITSTATUS(status) == 0;
}

}  // namespace karvo::reg
