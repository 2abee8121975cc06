#include "relay_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace karvo::bench {

std::optional<Memory> memory_of(pid_t pid) {
  const std::optional<std::string> status = testkit::read_file("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  const auto field = [&](std::string_view name) -> std::optional<std::uint64_t> {
    const std::size_t at = status->find(name);
    if (at == std::string::npos) return std::nullopt;
    return std::strtoull(status->c_str() + at + name.size(), nullptr, 10);
  };
  const auto rss = field("\nVmRSS:");
  const auto peak = field("\nVmHWM:");
  if (!rss || !peak) return std::nullopt;
  return Memory{*rss, *peak};
}

std::optional<std::int64_t> cpu_ns_of(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return std::nullopt;
  std::int64_t total = 0;
  bool any = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // A thread that ended meanwhile has no file any more; what it had is lost, which cannot happen to the
    // long-lived threads measured here.
    if (const auto stat = testkit::read_file(tasks + "/" + entry->d_name + "/schedstat")) {
      total += std::strtoll(stat->c_str(), nullptr, 10);
      any = true;
    }
  }
  ::closedir(dir);
  if (!any) return std::nullopt;
  return total;
}

std::optional<long> page_faults_of(pid_t pid) {
  const auto stat = testkit::read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // After the command's closing parenthesis: state, ppid, pgrp, session, tty_nr, tpgid, flags, minflt.
  std::size_t at = stat->rfind(')');
  if (at == std::string::npos) return std::nullopt;
  for (int field = 0; field < 8; ++field) {
    at = stat->find(' ', at + 1);
    if (at == std::string::npos) return std::nullopt;
  }
  return std::strtol(stat->c_str() + at + 1, nullptr, 10);
}

std::unique_ptr<RelayProcess> RelayProcess::start(const std::string& program, const std::vector<std::string>& env,
                                                  const std::string& stderr_path) {
  auto to_child = testkit::make_pipe();
  auto from_child = testkit::make_pipe();
  if (!to_child || !from_child) return nullptr;

  std::vector<std::string> args{program, "chrome-extension://karvobenchextension/"};
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_copy = env;
  for (auto& e : env_copy) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child->read_end.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child->write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  // The child gets the default disposition of SIGPIPE back, as a browser's child does.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::unique_ptr<RelayProcess> process(new RelayProcess);
  const int rc = ::posix_spawn(&process->pid_, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return nullptr;
  watchdog().watch(process->pid_);
  process->in_ = std::move(to_child->write_end);
  process->out_ = std::move(from_child->read_end);
  return process;
}

RelayProcess::~RelayProcess() {
  in_.reset();
  out_.reset();
  if (!reaped_) {
    kill();
    (void)wait();
  }
}

bool RelayProcess::write(std::string_view bytes) { return testkit::write_fully(in_.get(), bytes); }

bool RelayProcess::fill() {
  for (;;) {
    const ssize_t n = ::read(out_.get(), buf_.data() + end_, buf_.size() - end_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    end_ += static_cast<std::size_t>(n);
    return true;
  }
}

bool RelayProcess::next(std::string& body) {
  while (end_ - pos_ < 4) {
    if (pos_ > 0) {
      std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
    }
    if (!fill()) return false;
  }
  const auto* h = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
  const std::size_t length = std::size_t{h[0]} | std::size_t{h[1]} << 8 | std::size_t{h[2]} << 16 |
                             std::size_t{h[3]} << 24;
  pos_ += 4;
  body.clear();
  for (;;) {
    const std::size_t k = std::min(length - body.size(), end_ - pos_);
    body.append(buf_.data() + pos_, k);
    pos_ += k;
    if (body.size() == length) return true;
    pos_ = end_ = 0;
    if (!fill()) return false;
  }
}

void RelayProcess::close_input() { in_.reset(); }

void RelayProcess::kill() {
  if (!reaped_) ::kill(pid_, SIGKILL);
}

std::optional<int> RelayProcess::wait() {
  if (reaped_) return std::nullopt;
  int status = 0;
  rusage usage{};
  pid_t r;
  do {
    r = ::wait4(pid_, &status, 0, &usage);
  } while (r < 0 && errno == EINTR);
  reaped_ = true;
  const auto ms = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3; };
  cpu_ms_ = ms(usage.ru_utime) + ms(usage.ru_stime);
  page_faults_ = usage.ru_minflt;
  watchdog().forget(pid_);
  if (r != pid_) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

Watchdog::Watchdog() {
  thread_ = std::thread([this] {
    std::unique_lock lock(mu_);
    while (!stop_) {
      if (std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "karvo-bench: error: %s took too long; giving up\n", phase_.c_str());
        for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
        std::_Exit(2);
      }
      cv_.wait_until(lock, deadline_ == std::chrono::steady_clock::time_point::max()
                               ? std::chrono::steady_clock::now() + std::chrono::hours(1)
                               : deadline_);
    }
  });
}

Watchdog::~Watchdog() {
  {
    const std::lock_guard guard(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Watchdog::phase(std::string name, std::chrono::seconds allowance) {
  {
    const std::lock_guard guard(mu_);
    phase_ = std::move(name);
    deadline_ = std::chrono::steady_clock::now() + allowance;
  }
  cv_.notify_all();
}

void Watchdog::watch(pid_t pid) {
  const std::lock_guard guard(mu_);
  pids_.insert(pid);
}

void Watchdog::forget(pid_t pid) {
  const std::lock_guard guard(mu_);
  pids_.erase(pid);
}

Watchdog& watchdog() {
  static Watchdog dog;
  return dog;
}

}  // namespace karvo::bench
