// The browser's side of a native messaging host: the relay runs as a child process with pipes on its
// standard input and output, exactly as a browser starts one, and frames go both ways. Reads block
// without a time limit; a Watchdog ends a run that stops making progress.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sys.h"

namespace karvo::bench {

struct Memory {
  std::uint64_t rss_kib = 0;   // VmRSS
  std::uint64_t peak_kib = 0;  // VmHWM
};
// The resident memory of a process, from /proc/<pid>/status.
std::optional<Memory> memory_of(pid_t pid);
// The CPU time that the threads of a running process have had so far, in nanoseconds, from
// /proc/<pid>/task/*/schedstat; less exposed to other work on the machine than elapsed time.
std::optional<std::int64_t> cpu_ns_of(pid_t pid);
// The minor page faults of a running process so far, from /proc/<pid>/stat.
std::optional<long> page_faults_of(pid_t pid);

class RelayProcess {
 public:
  // Starts `program` as a browser does (with the origin argument that Chromium passes), with the
  // environment `env`; its standard error is appended to `stderr_path`. Nothing when it cannot start.
  static std::unique_ptr<RelayProcess> start(const std::string& program, const std::vector<std::string>& env,
                                             const std::string& stderr_path);
  // Closes the pipes, kills the process if it is still running, and reaps it.
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  int input_fd() const noexcept { return in_.get(); }

  // Writes bytes (whole frames) to the relay's standard input.
  bool write(std::string_view bytes);
  // Blocks until the next frame; false at the end of the output or on an error.
  bool next(std::string& body);
  void close_input();
  // Ends the process at once (SIGKILL); it is still to be waited for.
  void kill();
  // Waits for the end of the process: its exit status, or 128 + the signal.
  std::optional<int> wait();
  // Once it has ended: its CPU time (user and system) and its minor page faults over its whole life.
  double cpu_ms() const noexcept { return cpu_ms_; }
  long page_faults() const noexcept { return page_faults_; }

 private:
  RelayProcess() = default;
  bool fill();

  pid_t pid_ = -1;
  bool reaped_ = false;
  double cpu_ms_ = 0;
  long page_faults_ = 0;
  testkit::OwnedFd in_, out_;
  std::vector<char> buf_ = std::vector<char>(64 * 1024);
  std::size_t pos_ = 0, end_ = 0;
};

// Ends the run when a phase outlasts its allowance: says which phase on standard error, kills the relays
// that are still running and exits with status 2, so that a relay that hangs can never hang the run.
class Watchdog {
 public:
  Watchdog();
  ~Watchdog();
  void phase(std::string name, std::chrono::seconds allowance);
  void watch(pid_t pid);
  void forget(pid_t pid);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::string phase_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  std::set<pid_t> pids_;
  bool stop_ = false;
  std::thread thread_;
};

// The process-wide watchdog that RelayProcess reports to.
Watchdog& watchdog();

}  // namespace karvo::bench
