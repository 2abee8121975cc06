// posix_spawn(p): the child is created and exec'd by the C library, never through a shell, and an exec
// failure comes back as the call's result.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "spawn_process.h"

extern char** environ;

namespace karvo {
namespace {

class FileActions {
 public:
  FileActions() noexcept { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  bool ok() const noexcept { return ok_; }
  // Only descriptors 0, 1 and 2 reach the child, wherever the C library can see to it.
  bool keep_only_standard_streams() noexcept {
    if (!ok_) return false;
#if defined(__APPLE__)
    // The attributes ask for POSIX_SPAWN_CLOEXEC_DEFAULT: only what the file actions name survives.
    for (int fd = 0; fd <= 2; ++fd) {
      if (::fcntl(fd, F_GETFD) != -1 && ::posix_spawn_file_actions_addinherit_np(&actions_, fd) != 0) return false;
    }
    return true;
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    return ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
#else
    return true;
#endif
  }
  bool open_null(int fd, int flags) noexcept {
    return ok_ && ::posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", flags, 0) == 0;
  }
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class Attributes {
 public:
  Attributes() noexcept { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
  ~Attributes() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;

  // Empty signal mask, SIGPIPE at its default action, and optionally a session of the child's own.
  bool configure(bool new_session) noexcept {
    if (!ok_) return false;
    sigset_t none;
    sigset_t pipe_only;
    // Unqualified: POSIX lets these be macros, and Darwin's <signal.h> makes them so.
    sigemptyset(&none);
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // only 0, 1 and 2 reach the child
#endif
    if (new_session) {
#ifdef POSIX_SPAWN_SETSID
      flags |= POSIX_SPAWN_SETSID;
#else
      return false;
#endif
    }
    return ::posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
           ::posix_spawnattr_setsigdefault(&attr_, &pipe_only) == 0 &&
           ::posix_spawnattr_setflags(&attr_, static_cast<short>(flags)) == 0;
  }
  const posix_spawnattr_t* get() const noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  bool ok_ = false;
};

}  // namespace

std::optional<pid_t> spawn_process(const SpawnSpec& spec) {
  if (spec.program.empty()) return std::nullopt;

  std::vector<char*> argv;
  argv.reserve(spec.args.size() + 2);
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const std::string& arg : spec.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  FileActions actions;
  if (!actions.keep_only_standard_streams()) return std::nullopt;
  if (spec.null_stdin_stdout &&
      !(actions.open_null(STDIN_FILENO, O_RDONLY) && actions.open_null(STDOUT_FILENO, O_WRONLY))) {
    return std::nullopt;
  }
  if (spec.null_stderr && !actions.open_null(STDERR_FILENO, O_WRONLY)) return std::nullopt;

  Attributes attr;
  if (!attr.configure(spec.new_session)) return std::nullopt;

  pid_t pid = -1;
  int rc = 0;
  do {
    rc = spec.search_path
             ? ::posix_spawnp(&pid, argv[0], actions.get(), attr.get(), argv.data(), environ)
             : ::posix_spawn(&pid, argv[0], actions.get(), attr.get(), argv.data(), environ);
  } while (rc == EINTR);
  if (rc != 0) {
    errno = rc;
    return std::nullopt;
  }
  return pid;
}

}  // namespace karvo
