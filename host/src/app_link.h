// The authenticated loopback link to the desktop application: newline-delimited JSON over TCP.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "json.h"
#include "unique_fd.h"

namespace karvo {

// A buffered line reader over its own descriptor (a duplicate of the link's socket).
class LineReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  LineReader() = default;
  explicit LineReader(UniqueFd fd);

  enum class Status { line, end, error };
  // Reads up to and including the next LF, or to the end of the stream, into `out` (replacing it).
  // `line` when at least one byte was read; `end` when the stream had ended; `error` on a read failure.
  Status read_line(std::string& out);
  // The same for a line that must come whole by `deadline` (time_point::max(): no deadline) and hold at
  // most `limit` bytes before its LF: `error` when either is broken, having taken no more of it.
  Status read_line(std::string& out, std::size_t limit, std::chrono::steady_clock::time_point deadline);
  int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::string buf_;  // bytes read ahead, [pos_, buf_.size()) not yet handed out
  std::size_t pos_ = 0;
};

struct AppLink {
  UniqueFd stream;    // the connected socket: writes and shutdown
  LineReader reader;  // every read goes through here
  std::string line;   // reused line buffer
};

// Connects to 127.0.0.1:info.port within 0.8 s and authenticates with info.token; nothing on any failure.
// The application's reply must come whole within 5 s and be at most 64 KiB long.
std::optional<AppLink> connect_app(const IpcInfo& info);

// The judgement of the application's first line (LF included): valid UTF-8, one JSON object whose "ok"
// is the boolean true.
bool auth_reply_accepted(std::string_view line) noexcept;

// Another descriptor that a send keeps an eye on while it waits for the socket: once `fd` has hung up (the
// browser's input has ended), a send that makes no progress for `stall_limit` gives up, so that an
// application that has stopped reading cannot keep a host whose browser has gone. fd -1 watches nothing.
struct HangupWatch {
  int fd = -1;
  std::chrono::milliseconds stall_limit{0};
};

// Sends the value's compact text and one LF on `fd`, as one write. False on an I/O error, or when `watch`
// gives up.
bool send_line(int fd, const json::Value& value, const HangupWatch& watch = {});
// The same, writing the text into `buffer` (its content is replaced). A caller lends a buffer that it no
// longer needs, such as the body that the value was parsed from: a large message then needs no second
// buffer of its size.
bool send_line(int fd, const json::Value& value, std::string& buffer, const HangupWatch& watch = {});

// Sends `text`, already in the host's JSON text, and one LF on `fd`, as one write; gives up as send_line
// does.
bool send_text_line(int fd, std::string_view text, const HangupWatch& watch = {});

enum class ReadLine { line, end, error };
// Reads the next line into link.line, trimmed of Unicode White_Space at both ends (it may come back
// empty). `end` when the application closed the link; `error` on a read failure or invalid UTF-8.
ReadLine read_app_line(AppLink& link);

// Sends every byte of `data` on a socket (EINTR retried, no SIGPIPE). False on failure.
bool send_all(int fd, std::string_view data);

}  // namespace karvo
