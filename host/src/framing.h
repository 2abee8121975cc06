// Browser framing on standard input and output: a 4-byte little-endian length, then the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stream_locks.h"

namespace karvo {

inline constexpr std::uint32_t kMaxInboundMessage = 64u * 1024 * 1024;  // 67108864
inline constexpr std::size_t kMaxOutboundMessage = 1024 * 1024;         // 1048576

struct NativeRead {
  enum class Kind { message, end_of_input, failure } kind;
  std::string body;         // the message (kind == message)
  const char* error = "";  // failure text, e.g. "message too large"
};

// Told of a frame's body while it is read: its length first, then each piece as it arrives, in order,
// so that the body can be worked on before all of it is in.
class BodyObserver {
 public:
  virtual void body_begins(std::size_t length) = 0;
  virtual void body_arrived(std::string_view piece) = 0;

 protected:
  ~BodyObserver() = default;
};

// Reads frames from one descriptor, reading ahead so that a burst of small frames costs one read(2)
// rather than two per frame. Bodies of 64 KiB and more are read straight into their own buffer.
class FrameReader {
 public:
  explicit FrameReader(int fd) noexcept : fd_(fd) {}
  NativeRead next();
  // The same, with the body read into `body`, whose capacity is reused from frame to frame (the result's
  // own body stays empty). On a failure `body` holds no meaningful content.
  NativeRead next(std::string& body);
  // The same, telling `observer` of the body as it is read (nothing when the frame's length is refused).
  NativeRead next(std::string& body, BodyObserver& observer);

 private:
  static constexpr std::size_t kFailed = static_cast<std::size_t>(-1);
  static constexpr std::size_t kBufferSize = 64 * 1024;
  static constexpr std::size_t kGrowStep = 4 * kBufferSize;  // a body's size grows by this much at most
  std::size_t take(void* out, std::size_t n, BodyObserver* observer = nullptr, std::string* body = nullptr);
  NativeRead next(std::string& body, BodyObserver* observer);

  int fd_;
  std::size_t pos_ = 0, end_ = 0;
  char buf_[kBufferSize];
};

// Reads one frame from standard input. The caller holds the standard-input lock.
NativeRead read_native_message(const StdinHold& held);
// The same into a buffer that the caller keeps from frame to frame (see FrameReader::next).
NativeRead read_native_message(const StdinHold& held, std::string& body);
// The same, telling `observer` of the body as it arrives (see FrameReader::next).
NativeRead read_native_message(const StdinHold& held, std::string& body, BodyObserver& observer);

// Writes one frame to standard output and flushes it, or applies the outbound size guard.
// The caller holds the standard-output lock. False on the first write failure.
bool write_native_message(const StdoutHold& held, std::string_view body);

// Bytes of frames written so far by this process, counted as each write returns: a watcher tells a frame
// that is still being written from one whose reader has stopped.
std::uint64_t frame_bytes_written() noexcept;

// write_native_message on an explicit descriptor (the host uses 1; tests use pipes).
bool write_native_message_to(int fd, std::string_view body);

}  // namespace karvo
