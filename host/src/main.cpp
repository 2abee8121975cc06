// karvo-host: a browser's native messaging host for the Karvo desktop application.
//
// The browser starts one host per native messaging connection. The host reads the extension's first
// message, gets an authenticated link to the application (starting it when asked to), and relays in both
// directions until either side ends; when no link can be had it answers "app-unavailable" for two
// seconds and ends. Arguments that browsers pass (an extension origin, a manifest path) are not read;
// `--version` as the only argument, which no browser passes, prints the version.
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "app_link.h"
#include "endpoint.h"
#include "framing.h"
#include "json.h"
#include "json_canonical.h"
#include "karvo_version.h"
#include "launcher.h"
#include "log.h"
#include "standard_descriptors.h"
#include "stream_locks.h"

namespace karvo {
namespace {

constexpr std::time_t kUnavailableGraceSeconds = 2;
// How long the exit timer lets a reply that is being written when the grace time is over go without
// progress before it gives up on it.
constexpr std::chrono::seconds kStalledReplyLimit{2};
// Sends to the application watch the browser's input: once the browser has gone, a send held up by an
// application that has stopped reading gives up after this long without progress, and the host ends.
constexpr HangupWatch kBrowserInput{STDIN_FILENO, std::chrono::seconds(5)};
// Browser messages over this size are large: the memory that they take is kept while more of them come.
constexpr std::size_t kLargeMessage = 1024 * 1024;

// Ends the process at once, with no exit handlers: other threads may still be blocked in reads or
// hold a stream lock, and every frame has already been flushed when its write returned.
[[noreturn]] void end_process(int status) { std::_Exit(status); }

// Starts a detached thread; a process that cannot start one ends with 101.
template <class F>
void spawn_detached(F&& body) {
  try {
    std::thread(std::forward<F>(body)).detach();
  } catch (...) {
    static constexpr char kMessage[] = "karvo-host: fatal: failed to spawn thread\n";
    (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    end_process(101);
  }
}

// Large messages: blocks of up to 32 MiB come from the heap, and memory freed there stays (up to 128 MiB)
// for the next large message instead of being unmapped and faulted in afresh, page by page. The writer
// thread gives it back at the first ordinary message after them (release_free_memory). Both threads
// share the one heap, which can be given back whole (a second arena's free top is not).
void keep_freed_memory() {
#if defined(__GLIBC__)
  (void)::mallopt(M_ARENA_MAX, 1);
  (void)::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  (void)::mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
#endif
}

// Gives the memory that the allocator holds free back to the system.
void release_free_memory() {
#if defined(__GLIBC__)
  (void)::malloc_trim(0);
#endif
}

bool is_launch_request(const json::Value& first) {
  const json::Value* launch = first.find("launch");
  const bool* flag = launch ? launch->get_if<bool>() : nullptr;
  return flag != nullptr && *flag;
}

json::Value parse_or_null(const std::string& body) {
  std::optional<json::Value> value = json::parse(body);
  return value ? std::move(*value) : json::Value{};
}

void reply_app_unavailable(const json::Value& message) {
  json::Value reply{json::Object{}};
  reply.insert("error", "app-unavailable");
  if (const json::Value* id = message.find("id")) reply.insert("id", *id);
  reply.insert("type", "error");
  const std::string text = json::serialise(reply);
  StdoutHold out = hold_stdout();
  (void)write_native_message(out, text);
}

// A browser message's text for the application, written by the one-pass writer from each piece of the
// frame as it is read: by the time the last piece is in, little is left to do. A large message is
// written on a thread of its own, so that reading the rest of it (and faulting in its memory) goes on
// beside the writing rather than between its pieces.
class WriteWhileReading final : public BodyObserver {
 public:
  explicit WriteWhileReading(std::string& line) : line_(line) {}
  void body_begins(std::size_t length) override {
    catch_up();  // the rest of a frame that ended early, if any, is written before the writer starts anew
    writer_.start(line_, length);
    beside_ = length >= kLargeMessage && start_helper();
    if (beside_) {
      const std::lock_guard<std::mutex> lock(mutex_);
      next_ = end_ = nullptr;
    }
  }
  void body_arrived(std::string_view piece) override {
    if (!beside_) {
      writer_.write(piece);
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      // The pieces follow each other in the body.
      if (next_ == nullptr) next_ = piece.data();
      end_ = piece.data() + piece.size();
    }
    more_.notify_one();
  }
  // Once the frame has been read whole: true when `body` parsed and the line holds its text.
  bool finish(std::string& body) {
    catch_up();
    return writer_.finish(body);
  }

 private:
  // Waits until the thread that writes has written every piece that has arrived.
  void catch_up() {
    if (!beside_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    caught_up_.wait(lock, [&] { return next_ == end_; });
    beside_ = false;
  }

  // The thread that writes large messages, started with the first one and kept for the others (this
  // object lives as long as the process); false when none could be started, and the message is then
  // written here.
  bool start_helper() {
    if (helper_started_) return true;
    try {
      std::thread([this] { write_beside(); }).detach();
      helper_started_ = true;
    } catch (...) {
    }
    return helper_started_;
  }
  [[noreturn]] void write_beside() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      more_.wait(lock, [&] { return next_ != end_; });
      const char* from = next_;
      const char* to = end_;
      lock.unlock();
      writer_.write({from, static_cast<std::size_t>(to - from)});
      lock.lock();
      next_ = to;
      if (next_ == end_) caught_up_.notify_one();
    }
  }

  std::string& line_;
  json::Canonicaliser writer_;
  bool beside_ = false;
  bool helper_started_ = false;
  std::mutex mutex_;
  std::condition_variable more_, caught_up_;
  // What has arrived and is not written yet: [next_, end_). The thread that writes moves next_ on only
  // once it has written up to there.
  const char* next_ = nullptr;
  const char* end_ = nullptr;
};

// The writer thread of relay mode: browser frames to the application, until either side fails.
[[noreturn]] void forward_browser_to_app(int writer) {
  StdinHold in = hold_stdin();
  // Two buffers serve every message, one for the frame's body and one for the text that goes to the
  // application, which is written in one pass over the body while it arrives, without a tree: a message
  // costs about twice its size and no allocation of its own.
  std::string body, line;
  WriteWhileReading text_of(line);
  for (;;) {
    if (read_native_message(in, body, text_of).kind != NativeRead::Kind::message) break;
    if (!text_of.finish(body)) continue;  // unparsable frames are dropped without a reply
    if (!send_text_line(writer, line, kBrowserInput)) break;
    // A large message's memory serves the large messages that follow it; the first ordinary one gives
    // it back.
    if (line.size() <= kLargeMessage && (body.capacity() > kLargeMessage || line.capacity() > kLargeMessage)) {
      std::string().swap(body);
      std::string().swap(line);
      release_free_memory();
    }
  }
  (void)::shutdown(writer, SHUT_RDWR);
  end_process(0);
}

// The main thread of relay mode: application lines to the browser, until either side fails.
void forward_app_to_browser(AppLink& link) {
  StdoutHold out = hold_stdout();
  for (;;) {
    if (read_app_line(link) != ReadLine::line) break;
    if (link.line.empty()) continue;
    if (!write_native_message(out, link.line)) break;
  }
  (void)::shutdown(link.stream.get(), SHUT_RDWR);
}

[[noreturn]] void relay(AppLink link, const json::Value& first) {
  const int writer = ::fcntl(link.stream.get(), F_DUPFD_CLOEXEC, 3);
  if (writer < 0) end_process(0);
  if (!send_line(writer, first, kBrowserInput)) end_process(0);
  spawn_detached([writer] { forward_browser_to_app(writer); });
  forward_app_to_browser(link);
  end_process(0);
}

[[noreturn]] void unavailable(const json::Value& first) {
  spawn_detached([] {
    timespec left{kUnavailableGraceSeconds, 0};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    // A reply that is being written is completed first, however slowly the browser reads it. A browser
    // that has stopped reading would hold it up for ever, though, and the host must end all the same: it
    // gives up once the write has made no progress for the limit.
    std::uint64_t written = frame_bytes_written();
    auto give_up = std::chrono::steady_clock::now() + kStalledReplyLimit;
    for (;;) {
      StdoutHold out(stdout_mutex(), std::try_to_lock);
      if (out.owns_lock()) end_process(0);  // frames are written unbuffered: nothing is left to flush
      const auto now = std::chrono::steady_clock::now();
      if (const std::uint64_t moved = frame_bytes_written(); moved != written) {
        written = moved;
        give_up = now + kStalledReplyLimit;
      } else if (now >= give_up) {
        end_process(0);
      }
      timespec pause{0, 10'000'000};
      while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
    }
  });
  reply_app_unavailable(first);
  StdinHold in = hold_stdin();
  for (;;) {
    NativeRead frame = read_native_message(in);
    if (frame.kind != NativeRead::Kind::message) end_process(0);
    const json::Value message = parse_or_null(frame.body);
    if (message.find("id") != nullptr) reply_app_unavailable(message);
  }
}

[[noreturn]] void run() {
  json::Value first;
  {
    StdinHold in = hold_stdin();
    NativeRead frame = read_native_message(in);
    if (frame.kind != NativeRead::Kind::message) end_process(0);
    first = parse_or_null(frame.body);
  }
  const bool launch = is_launch_request(first);

  std::optional<AppLink> link;
  if (const std::optional<IpcInfo> info = read_ipc_info()) link = connect_app(*info);
  if (!link) {
    if (launch) {
      link = launch_app();  // logs for itself when it gives up
    } else {
      log_line("Karvo is not running");
    }
  }
  if (link) relay(std::move(*link), first);
  unavailable(first);
}

}  // namespace
}  // namespace karvo

int main(int argc, char** argv) {
  // Before anything is opened: the application link must never take the number of a closed standard
  // stream and receive log lines or browser frames. Without them the host cannot run safely at all.
  if (!karvo::ensure_standard_descriptors()) std::_Exit(0);
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    return std::fputs("karvo-host " KARVO_VERSION "\n", stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
  }
  // A browser that goes away must show up as a failed write, never as a signal that ends the host.
  std::signal(SIGPIPE, SIG_IGN);
  karvo::keep_freed_memory();
  try {
    karvo::run();
  } catch (...) {
    // Only allocation failures can get here; the connection simply ends.
    std::_Exit(0);
  }
}
