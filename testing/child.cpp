// Child processes with pipes: posix_spawn, a background reader for standard output and error, and
// reaping with a time limit.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "testkit.h"

extern char** environ;

namespace karvo::testkit {

namespace {

using Clock = std::chrono::steady_clock;

void ignore_sigpipe_once() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// posix_spawn's helper objects, released however the spawn ends.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attr{};
  bool actions_ok = false;
  bool attr_ok = false;
  SpawnSetup() {
    actions_ok = posix_spawn_file_actions_init(&actions) == 0;
    attr_ok = posix_spawnattr_init(&attr) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok) posix_spawn_file_actions_destroy(&actions);
    if (attr_ok) posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

}  // namespace

Child::Child(std::vector<std::string> argv, std::optional<std::vector<std::string>> env, std::string cwd)
    : Child(Options{std::move(argv), std::move(env), std::move(cwd)}) {}

Child::Child(Options o) : own_group_(o.own_process_group) {
  ignore_sigpipe_once();
  if (o.argv.empty()) {
    spawn_error_ = EINVAL;
    return;
  }
  SpawnSetup setup;
  if (!setup.actions_ok || !setup.attr_ok) {
    spawn_error_ = ENOMEM;
    return;
  }
  // The child's ends of the pipes are closed here once the child has its copies.
  OwnedFd child_in, child_out, child_err;
  auto plumb = [&](Stdio how, int target, OwnedFd& ours, OwnedFd& theirs, bool child_reads) -> bool {
    if (how == Stdio::inherit) return true;
    if (how == Stdio::closed) return posix_spawn_file_actions_addclose(&setup.actions, target) == 0;
    if (how == Stdio::null) {
      return posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                              child_reads ? O_RDONLY : O_WRONLY, 0) == 0;
    }
    auto p = make_pipe();
    if (!p) return false;
    if (child_reads) {
      theirs = std::move(p->read_end);
      ours = std::move(p->write_end);
    } else {
      theirs = std::move(p->write_end);
      ours = std::move(p->read_end);
    }
    // dup2 onto 0, 1 or 2 clears close-on-exec on the copy; the pipe's own descriptors stay cloexec.
    return posix_spawn_file_actions_adddup2(&setup.actions, theirs.get(), target) == 0;
  };
  if (!plumb(o.in, STDIN_FILENO, stdin_, child_in, true) || !plumb(o.out, STDOUT_FILENO, stdout_, child_out, false) ||
      !plumb(o.err, STDERR_FILENO, stderr_, child_err, false)) {
    spawn_error_ = errno != 0 ? errno : EMFILE;
    return;
  }
  if (!o.cwd.empty() && posix_spawn_file_actions_addchdir_np(&setup.actions, o.cwd.c_str()) != 0) {
    spawn_error_ = EINVAL;
    return;
  }
  // The child starts with no blocked signals and default handlers, whatever this process has.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (const int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM}) {
    sigaddset(&defaults, s);
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_group_) flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setsigmask(&setup.attr, &empty);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setpgroup(&setup.attr, 0);
  posix_spawnattr_setflags(&setup.attr, flags);

  std::vector<char*> args;
  for (auto& a : o.argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  if (o.env) {
    for (auto& e : *o.env) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  char** env_ptr = o.env ? envp.data() : environ;
  pid_t pid = -1;
  const bool has_slash = o.argv[0].find('/') != std::string::npos;
  const int rc = has_slash ? posix_spawn(&pid, args[0], &setup.actions, &setup.attr, args.data(), env_ptr)
                           : posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), env_ptr);
  if (rc != 0) {
    spawn_error_ = rc;
    stdin_.reset();
    stdout_.reset();
    stderr_.reset();
    return;
  }
  pid_ = pid;
  if (stdin_) set_nonblocking(stdin_.get(), true);
  if (stdout_ || stderr_) {
    auto wake = make_pipe();
    if (wake) {
      wake_read_ = std::move(wake->read_end);
      wake_write_ = std::move(wake->write_end);
    }
    reader_ = std::thread([this] { reader_loop(); });
  } else {
    out_eof_ = true;
    reader_done_ = true;
  }
}

Child::~Child() {
  if (pid_ > 0) {
    std::lock_guard lock(proc_mu_);
    if (own_group_) ::kill(-pid_, SIGKILL);
    if (!status_) {
      ::kill(pid_, SIGKILL);
      try_reap_locked(true);
    }
  }
  if (reader_.joinable()) {
    {
      std::lock_guard lock(mu_);
      stop_requested_ = true;
    }
    if (wake_write_) write_fully(wake_write_.get(), "x");
    reader_.join();
  }
}

void Child::reader_loop() {
  char buf[65536];
  bool open[2] = {static_cast<bool>(stdout_), static_cast<bool>(stderr_)};
  OwnedFd* const fds_of[2] = {&stdout_, &stderr_};
  {
    std::lock_guard lock(mu_);
    if (!open[0]) out_eof_ = true;
  }
  // Reads once from stream i (0 stdout, 1 stderr).
  auto read_once = [&](int i) {
    ssize_t n = -1;
    do {
      n = ::read(fds_of[i]->get(), buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    std::lock_guard lock(mu_);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
    } else {
      open[i] = false;
      if (i == 0) out_eof_ = true;
    }
    ++activity_;
    cv_.notify_all();
  };
  // Polls the open streams (and the wake pipe when asked); -1 on failure, else the ready count.
  auto poll_streams = [&](pollfd (&fds)[3], int timeout, bool with_wake) {
    fds[0] = {open[0] ? stdout_.get() : -1, POLLIN, 0};
    fds[1] = {open[1] ? stderr_.get() : -1, POLLIN, 0};
    fds[2] = {with_wake ? wake_read_.get() : -1, POLLIN, 0};
    int rc = -1;
    do {
      rc = ::poll(fds, 3, timeout);
    } while (rc < 0 && errno == EINTR);
    return rc;
  };
  pollfd fds[3];
  while (open[0] || open[1]) {
    if (poll_streams(fds, -1, true) < 0) break;
    std::uint64_t sync_ticket = 0;
    if (fds[2].revents != 0) {
      char drain[64];
      [[maybe_unused]] const ssize_t n = ::read(wake_read_.get(), drain, sizeof drain);
      std::lock_guard lock(mu_);
      if (stop_requested_) break;
      if (close_stdout_requested_ && open[0]) {
        stdout_.reset();
        open[0] = false;
        out_eof_ = true;
        ++activity_;
        cv_.notify_all();
      }
      sync_ticket = sync_requested_;
    }
    for (int i = 0; i < 2; ++i) {
      if (open[i] && fds[i].revents != 0) read_once(i);
    }
    if (sync_ticket != 0) {
      // Everything that the pipes hold at this moment is gathered before the sync is answered.
      while ((open[0] || open[1]) && poll_streams(fds, 0, false) > 0) {
        for (int i = 0; i < 2; ++i) {
          if (open[i] && fds[i].revents != 0) read_once(i);
        }
      }
      std::lock_guard lock(mu_);
      sync_done_ = std::max(sync_done_, sync_ticket);
      cv_.notify_all();
    }
  }
  std::lock_guard lock(mu_);
  out_eof_ = true;
  reader_done_ = true;
  ++activity_;
  cv_.notify_all();
}

void Child::sync_output() {
  std::unique_lock lock(mu_);
  if (reader_done_ || !wake_write_) return;
  const std::uint64_t ticket = ++sync_requested_;
  lock.unlock();
  write_fully(wake_write_.get(), "s");
  lock.lock();
  cv_.wait(lock, [&] { return sync_done_ >= ticket || reader_done_; });
}

bool Child::write_all(std::string_view bytes, Ms timeout) {
  std::lock_guard lock(stdin_mu_);
  if (!stdin_) return false;
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    const ssize_t n = ::write(stdin_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{stdin_.get(), POLLOUT, 0};
    const int left = remaining_ms(deadline);
    if (left == 0) return false;
    const int rc = ::poll(&p, 1, left);
    if (rc < 0 && errno != EINTR) return false;
  }
  return true;
}

void Child::close_stdin() {
  std::lock_guard lock(stdin_mu_);
  stdin_.reset();
}

template <typename Ready>
bool Child::wait_output(Ready ready, Ms timeout) const {
  // Callers hold no lock; `ready` runs under mu_.
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return ready(); });
}

std::optional<std::string> Child::read_exact(std::size_t n, Ms timeout) {
  std::unique_lock lock(mu_);
  const bool got = cv_.wait_for(lock, timeout, [&] { return out_.size() - out_off_ >= n || out_eof_; });
  if (!got || out_.size() - out_off_ < n) return std::nullopt;
  return take_locked(n, 0);
}

std::string Child::take_locked(std::size_t n, std::size_t skip) {
  std::string result = out_.substr(out_off_, n);
  out_off_ += n + skip;
  if (out_off_ >= out_.size()) {
    out_.clear();
    out_off_ = 0;
  } else if (out_off_ > (1u << 20)) {
    // Taken bytes are dropped now and then, not at every read.
    out_.erase(0, out_off_);
    out_off_ = 0;
  }
  return result;
}

std::optional<std::string> Child::read_line(Ms timeout) {
  std::unique_lock lock(mu_);
  std::size_t nl = std::string::npos;
  cv_.wait_for(lock, timeout, [&] {
    nl = out_.find('\n', out_off_);
    return nl != std::string::npos || out_eof_;
  });
  if (nl != std::string::npos) return take_locked(nl - out_off_, 1);
  if (out_eof_ && out_off_ < out_.size()) return take_locked(out_.size() - out_off_, 0);
  return std::nullopt;
}

std::string Child::read_until_eof(Ms timeout) {
  std::unique_lock lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return out_eof_; });
  return take_locked(out_.size() - out_off_, 0);
}

std::string Child::take_stdout() {
  std::lock_guard lock(mu_);
  return take_locked(out_.size() - out_off_, 0);
}

std::size_t Child::stdout_available() const {
  std::lock_guard lock(mu_);
  return out_.size() - out_off_;
}

void Child::unread(std::string_view bytes) {
  std::lock_guard lock(mu_);
  out_ = std::string(bytes) + out_.substr(out_off_);
  out_off_ = 0;
}

bool Child::stdout_ended() const {
  std::lock_guard lock(mu_);
  return out_eof_ && out_off_ == out_.size();
}

void Child::close_stdout() {
  std::unique_lock lock(mu_);
  if (out_eof_ || !reader_.joinable()) return;
  close_stdout_requested_ = true;
  lock.unlock();
  write_fully(wake_write_.get(), "c");
  lock.lock();
  cv_.wait(lock, [&] { return out_eof_; });
}

std::string Child::stderr_text() const {
  std::lock_guard lock(mu_);
  return err_;
}

bool Child::wait_stderr(std::string_view text, Ms timeout) const {
  return wait_output([&] { return err_.find(text) != std::string::npos; }, timeout);
}

std::uint64_t Child::activity() const {
  std::lock_guard lock(mu_);
  return activity_;
}

bool Child::wait_activity(std::uint64_t seen, Ms timeout) const {
  return wait_output([&] { return activity_ != seen; }, timeout);
}

bool Child::try_reap_locked(bool block) {
  if (status_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t rc = -1;
  do {
    rc = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == pid_) {
    status_ = decode_status(status);
    return true;
  }
  if (rc < 0) status_ = -1;  // not our child any more (or never was): nothing left to wait for
  return status_.has_value();
}

std::optional<int> Child::wait_exit(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  auto pause = Ms(1);
  for (;;) {
    {
      std::lock_guard lock(proc_mu_);
      if (try_reap_locked(false)) return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min(pause * 2, Ms(20));
  }
}

std::optional<int> Child::exit_status() const {
  std::lock_guard lock(proc_mu_);
  return status_;
}

bool Child::running() {
  std::lock_guard lock(proc_mu_);
  return pid_ > 0 && !try_reap_locked(false);
}

bool Child::kill(int sig) {
  std::lock_guard lock(proc_mu_);
  if (pid_ <= 0 || status_) return false;
  return ::kill(pid_, sig) == 0;
}

bool Child::kill_group(int sig) {
  std::lock_guard lock(proc_mu_);
  if (pid_ <= 0 || !own_group_) return false;
  return ::kill(-pid_, sig) == 0;
}

}  // namespace karvo::testkit
