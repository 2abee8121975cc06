// Test kit: starting programs with pipes, browser framing, scratch homes, and the stand-in desktop
// application (karvo-standin-app). Namespace karvo::testkit. Nothing here throws.
//
// Programs
//   std::string bin(name)              KARVO_BIN_DIR "/" name. The directory is the environment variable
//                                      KARVO_BIN_DIR when set, else the build's <build>/bin.
//
// Scratch homes
//   ScratchHome home;                  fresh directory under $TMPDIR (or /tmp), removed with everything
//                                      in it by the destructor.
//   home.path()                        the directory
//   home.data_dir(app_id = "com.karvo.app")   path + "/Library/Application Support/" + app_id
//   home.ipc_path(app_id = ...)        data_dir + "/ipc.json"
//   home.write_ipc(content, app_id = ...)     writes the endpoint file (directories created) -> bool
//   home.env(extra = {})               this process's environment with HOME = path(); "NAME=value"
//                                      entries of `extra` are added, replacing variables of that name
//
// Child processes (posix_spawn, never a shell)
//   Child child({argv...}, env = this process's, cwd = this process's);  or  Child(Child::Options)
//   Options: argv, env (nullopt: inherit), cwd, stdin/stdout/stderr each Stdio::pipe (default),
//   Stdio::null, Stdio::inherit or Stdio::closed (the child starts without that descriptor),
//   own_process_group (default true: the child leads a new process group, and the destructor kills
//   that whole group, so programs that the child started die too).
//   child.started(), spawn_error() (errno), pid()
//   write_all(bytes, timeout = 60s) -> bool;  close_stdin()
//   Standard output and error are read by a background thread as soon as they arrive, so the child
//   never blocks on a full pipe. Reads take from what has been gathered:
//   read_exact(n, timeout) -> optional<string>   (nullopt on end of stream or timeout; then nothing is
//                                                 taken, the bytes stay for the next read)
//   read_line(timeout) -> optional<string>       (without the LF; at end of stream a last unterminated
//                                                 line is returned)
//   read_until_eof(timeout) -> string;  take_stdout() -> string (all gathered, not waiting);
//   stdout_available() (bytes gathered and not taken);  unread(bytes) (put bytes back in front);
//   stdout_ended() (end of stream seen and everything taken);  close_stdout() (stop reading and close
//   our end: the child's writes then fail)
//   stderr_text() (everything so far);  wait_stderr(text, timeout) -> bool (stderr contains it)
//   sync_output(): gathers everything that the child has written so far (what lies in the pipes now)
//   activity() / wait_activity(seen, timeout): a counter bumped on every output or end of stream
//   wait_exit(timeout) -> optional<int>: exit status, or 128 + signal; nullopt while still running
//   exit_status() -> the status once reaped (does not wait);  running()
//   kill(sig = SIGKILL), kill_group(sig)
//   The destructor kills (the group, see above) and reaps. SIGPIPE is ignored in the test process from
//   the first Child on (writes to a closed pipe fail instead); children get the default back.
//
// Browser framing (4-byte little-endian length, then the body)
//   frame(body) -> string;  frame_header(length) -> the 4 bytes alone
//   read_frame(child, timeout) -> optional<string>   (nullopt on end of stream or timeout)
//   expect_no_frame(child, wait) -> bool: true when no output byte at all arrived within `wait`
//
// The stand-in application
//   StandinApp app(home, {"--auth-delay", "500"}, start_timeout = 30s);  starts
//   `karvo-standin-app --home <home> --token <random> <options>` and waits for "published" (with
//   --publish-delay among the options, only for "listening").
//   app.ok(), port(), token(), ipc_path(), pid(), process() (the Child)
//   send(conn, line), send_all(line), send_raw(conn, bytes), close(conn), close_all(), command(text)
//     -> bool (the command was written; the stand-in acts on it asynchronously; "sent"/"closed" events
//     tell when it has)
//   events() -> every event line so far
//   wait_event(prefix or predicate, timeout = 15s) -> optional<string>: the first event so far (from the
//     start) that begins with the prefix / satisfies the predicate, waiting for it if needed
//   wait_events(predicate, count, timeout = 15s) -> bool: at least `count` matching events
//   count_events(predicate) -> size_t
//   received(conn) -> the lines that link `conn` sent, the authentication line first
//   The stand-in writes its event lines before the link bytes they tell of, and events(), received()
//   and count_events() first gather all it has written: once a test has seen an answer (directly or
//   relayed), the events behind it are there.
//   stop(timeout = 10s) -> optional<int>: "quit", then the exit status (killed after the timeout)
//   Links are numbered 1, 2, ... in the order the stand-in accepted them.
//   Events: "args ...", "listening <port>", "published <path>", "accepted <conn>", "recv <conn> <line>",
//   "auth <conn> ok|refused", "sent <conn> <bytes>", "closed <conn>", "unpublished <path>",
//   "error <text>", "exiting". Options: karvo-standin-app --help.
//   A stand-in that a host or extension starts by itself takes extra options from the environment:
//   home.env({standin_args_env({"--events", path})}).
//
// Talking to an application directly
//   LinkClient::connect(port, timeout = 10s) -> optional<LinkClient>
//   authenticate(token, timeout = 15s) -> bool (sends the authentication message; true on "ok" true)
//   send(bytes), send_line(line) -> bool;  read_line(timeout) -> optional<string> (without LF)
//   wait_closed(timeout) -> bool (the peer ended the link; pending lines are skipped);  shutdown_write()
//
// Files and small helpers
//   read_file(path), write_file(path, content, mode = 0644) (creates parents), make_dirs(path),
//   file_mode(path) -> optional<mode_t> (permission bits), path_exists(path),
//   install_program(from, to) (copies a program, mode 0755), unused_port() (a loopback port that
//   nothing listens on right now), wait_until(predicate, timeout, interval = 10ms) -> bool,
//   current_env(), standin_args_env(args) -> "KARVO_STANDIN_ARGS=..." entry.
//   kUnusableEndpoints, plant_unusable_endpoint(path, kind, valid): endpoint files that a reader must
//   judge unusable without hanging or filling its memory (a pipe, a device, a file padded or made sparse
//   past 64 KiB around the valid text `valid`).
//   From sys.h: OwnedFd (owns a descriptor), make_pipe() (close-on-exec ends), write_fully(fd, bytes),
//   set_nonblocking(fd, on), hex_decode(text), self_executable(), parent_dir(path), tcp_socket(),
//   accept_connection(listener), kSendFlags (the portable ways to get sockets without SIGPIPE).
//
// Processes
//   process_usage(pid) -> optional<ProcessUsage>: resident memory (KiB) and CPU time (user + system,
//   seconds) of a running process; from /proc on Linux, else from ps(1).
//   process_usage_from_ps(pid): always from ps(1), the way other systems go.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sys.h"

namespace karvo::testkit {

using Ms = std::chrono::milliseconds;

// --- programs and files -------------------------------------------------------------------------

std::string bin(std::string_view name);

std::vector<std::string> current_env();
bool write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
std::optional<mode_t> file_mode(const std::string& path);
bool path_exists(const std::string& path);
bool install_program(const std::string& from, const std::string& to);
std::uint16_t unused_port();
bool wait_until(const std::function<bool()>& predicate, Ms timeout, Ms interval = Ms(10));
std::string standin_args_env(const std::vector<std::string>& args);

enum class UnusableEndpoint { fifo, device, padded, sparse };
inline constexpr std::pair<UnusableEndpoint, const char*> kUnusableEndpoints[] = {
    {UnusableEndpoint::fifo, "a pipe"},
    {UnusableEndpoint::device, "a link to /dev/zero"},
    {UnusableEndpoint::padded, "a valid file padded past 64 KiB"},
    {UnusableEndpoint::sparse, "a sparse file of 1 TiB"},
};
bool plant_unusable_endpoint(const std::string& path, UnusableEndpoint kind, const std::string& valid);

// --- processes ----------------------------------------------------------------------------------

struct ProcessUsage {
  long resident_kib = 0;
  double cpu_seconds = 0;
};
std::optional<ProcessUsage> process_usage(pid_t pid);
std::optional<ProcessUsage> process_usage_from_ps(pid_t pid);

// --- scratch home -------------------------------------------------------------------------------

class ScratchHome {
 public:
  ScratchHome();
  ~ScratchHome();
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  const std::string& path() const { return path_; }
  std::string data_dir(std::string_view app_id = "com.karvo.app") const;
  std::string ipc_path(std::string_view app_id = "com.karvo.app") const;
  bool write_ipc(std::string_view content, std::string_view app_id = "com.karvo.app") const;
  std::vector<std::string> env(const std::vector<std::string>& extra = {}) const;

 private:
  std::string path_;
};

// --- child processes ----------------------------------------------------------------------------

enum class Stdio { pipe, null, inherit, closed };

class Child {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::optional<std::vector<std::string>> env;
    std::string cwd;
    Stdio in = Stdio::pipe;
    Stdio out = Stdio::pipe;
    Stdio err = Stdio::pipe;
    bool own_process_group = true;
  };

  explicit Child(Options options);
  explicit Child(std::vector<std::string> argv, std::optional<std::vector<std::string>> env = std::nullopt,
                 std::string cwd = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  int spawn_error() const { return spawn_error_; }
  pid_t pid() const { return pid_; }

  bool write_all(std::string_view bytes, Ms timeout = Ms(60'000));
  void close_stdin();

  std::optional<std::string> read_exact(std::size_t n, Ms timeout);
  std::optional<std::string> read_line(Ms timeout);
  std::string read_until_eof(Ms timeout);
  std::string take_stdout();
  std::size_t stdout_available() const;
  void unread(std::string_view bytes);
  bool stdout_ended() const;
  void close_stdout();

  std::string stderr_text() const;
  bool wait_stderr(std::string_view text, Ms timeout) const;

  void sync_output();
  std::uint64_t activity() const;
  bool wait_activity(std::uint64_t seen, Ms timeout) const;

  std::optional<int> wait_exit(Ms timeout);
  std::optional<int> exit_status() const;
  bool running();
  bool kill(int sig = SIGKILL);
  bool kill_group(int sig);

 private:
  void reader_loop();
  bool try_reap_locked(bool block);
  std::string take_locked(std::size_t n, std::size_t skip);
  template <typename Ready>
  bool wait_output(Ready ready, Ms timeout) const;

  pid_t pid_ = -1;
  int spawn_error_ = 0;
  bool own_group_ = true;

  OwnedFd stdin_;
  std::mutex stdin_mu_;

  // Owned by the reader thread while it runs.
  OwnedFd stdout_;
  OwnedFd stderr_;
  OwnedFd wake_read_;
  OwnedFd wake_write_;
  std::thread reader_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string out_;
  std::size_t out_off_ = 0;
  bool out_eof_ = false;
  std::string err_;
  std::uint64_t activity_ = 0;
  bool close_stdout_requested_ = false;
  bool stop_requested_ = false;
  bool reader_done_ = false;
  std::uint64_t sync_requested_ = 0;
  std::uint64_t sync_done_ = 0;

  mutable std::mutex proc_mu_;
  std::optional<int> status_;
};

// --- framing ------------------------------------------------------------------------------------

std::string frame_header(std::uint32_t length);
std::string frame(std::string_view body);
std::optional<std::string> read_frame(Child& child, Ms timeout);
bool expect_no_frame(Child& child, Ms wait);

// --- the stand-in application -------------------------------------------------------------------

class StandinApp {
 public:
  explicit StandinApp(const ScratchHome& home, std::vector<std::string> options = {},
                      Ms start_timeout = Ms(30'000));
  StandinApp(const StandinApp&) = delete;
  StandinApp& operator=(const StandinApp&) = delete;
  ~StandinApp();

  bool ok() const { return ok_; }
  std::uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& ipc_path() const { return ipc_path_; }
  pid_t pid() const { return child_.pid(); }
  Child& process() { return child_; }

  bool command(std::string_view text);
  bool send(int conn, std::string_view line);
  bool send_all(std::string_view line);
  bool send_raw(int conn, std::string_view bytes);
  bool close(int conn);
  bool close_all();

  std::vector<std::string> events();
  std::optional<std::string> wait_event(std::string_view prefix, Ms timeout = Ms(15'000));
  std::optional<std::string> wait_event(const std::function<bool(std::string_view)>& predicate,
                                        Ms timeout = Ms(15'000));
  bool wait_events(const std::function<bool(std::string_view)>& predicate, std::size_t count,
                   Ms timeout = Ms(15'000));
  std::size_t count_events(const std::function<bool(std::string_view)>& predicate);
  std::vector<std::string> received(int conn);

  std::optional<int> stop(Ms timeout = Ms(10'000));

 private:
  void gather_locked();

  std::mutex mu_;
  std::vector<std::string> events_;
  bool ok_ = false;
  std::uint16_t port_ = 0;
  std::string token_;
  std::string ipc_path_;
  Child child_;  // last: started once the members above are ready
};

// --- a client of the application link -----------------------------------------------------------

class LinkClient {
 public:
  static std::optional<LinkClient> connect(std::uint16_t port, Ms timeout = Ms(10'000));

  bool authenticate(std::string_view token, Ms timeout = Ms(15'000));
  bool send(std::string_view bytes);
  bool send_line(std::string_view line);
  std::optional<std::string> read_line(Ms timeout);
  bool wait_closed(Ms timeout);
  void shutdown_write();
  int fd() const { return fd_.get(); }

 private:
  explicit LinkClient(OwnedFd fd) : fd_(std::move(fd)) {}
  OwnedFd fd_;
  std::string buf_;
};

}  // namespace karvo::testkit
