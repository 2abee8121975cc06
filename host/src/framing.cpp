#include "framing.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "json_canonical.h"
#include "large_pages.h"
#include "log.h"

namespace karvo {

namespace {

std::atomic<std::uint64_t> frame_bytes{0};
constexpr std::size_t kWriteChunk = 64 * 1024;

bool write_frame(int fd, std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  const unsigned char header[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length >> 16),
                                   static_cast<unsigned char>(length >> 24)};
  // Header and body leave in one writev(2) in the common case, so each frame is one write.
  iovec parts[2] = {{const_cast<unsigned char*>(header), sizeof header},
                    {const_cast<char*>(body.data()), body.size()}};
  std::size_t first = 0;
  while (first < 2) {
    // At most kWriteChunk bytes per call: a large frame that a slow browser takes in then shows its
    // progress as it goes (frame_bytes_written), where one blocking call would show none until the end.
    iovec now[2];
    int count = 0;
    std::size_t budget = kWriteChunk;
    for (std::size_t i = first; i < 2 && budget > 0; ++i) {
      const std::size_t take = std::min(parts[i].iov_len, budget);
      now[count++] = {parts[i].iov_base, take};
      budget -= take;
    }
    const ssize_t w = ::writev(fd, now, count);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto written = static_cast<std::size_t>(w);
    frame_bytes.fetch_add(written, std::memory_order_relaxed);
    while (first < 2 && written >= parts[first].iov_len) {
      written -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + written;
      parts[first].iov_len -= written;
    }
  }
  return true;
}

}  // namespace

NativeRead FrameReader::next() {
  std::string body;
  NativeRead result = next(body);
  if (result.kind == NativeRead::Kind::message) result.body = std::move(body);
  return result;
}

NativeRead FrameReader::next(std::string& body) { return next(body, nullptr); }

NativeRead FrameReader::next(std::string& body, BodyObserver& observer) { return next(body, &observer); }

NativeRead FrameReader::next(std::string& body, BodyObserver* observer) {
  unsigned char header[4];
  const std::size_t got = take(header, sizeof header);
  if (got != sizeof header) {
    return {got == kFailed ? NativeRead::Kind::failure : NativeRead::Kind::end_of_input, {}, ""};
  }
  const std::uint32_t length = std::uint32_t{header[0]} | std::uint32_t{header[1]} << 8 |
                               std::uint32_t{header[2]} << 16 | std::uint32_t{header[3]} << 24;
  if (length > kMaxInboundMessage) return {NativeRead::Kind::failure, {}, "message too large"};
  // A buffer that must grow has nothing worth copying over; one that is large enough keeps its memory.
  // Every byte is overwritten below.
  if (length > body.capacity()) {
    body.clear();
    body.reserve(length);
    advise_large_pages(body.data(), body.capacity());
  }
  if (body.size() > length) body.resize(length);
  if (observer != nullptr) observer->body_begins(length);
  if (take(body.data(), length, observer, &body) != length) {
    return {NativeRead::Kind::failure, {}, "input ended inside a message"};
  }
  return {NativeRead::Kind::message, {}, ""};
}

// Copies up to `n` bytes into `out`: fewer only at the end of input; kFailed on a read error. The
// observer, if any, is shown each piece as soon as it is in `out`. When `out` is the memory of `body`
// (whose capacity holds `n` bytes), its size grows only just ahead of what is read into it: zero-filling
// a large one whole before its first byte would fault all of its memory in before any of it is read.
std::size_t FrameReader::take(void* out, std::size_t n, BodyObserver* observer, std::string* body) {
  auto* dst = static_cast<char*>(out);
  std::size_t done = 0;
  // Whether `body` must grow before `k` more bytes go into it, and its growth.
  const auto must_grow = [&](std::size_t k) { return body != nullptr && body->size() < done + k; };
  const auto grow = [&](std::size_t k) {
    if (must_grow(k)) body->resize(done + k);
  };
  while (done < n) {
    if (pos_ < end_) {
      const std::size_t k = std::min(n - done, end_ - pos_);
      grow(k);
      std::memcpy(dst + done, buf_ + pos_, k);
      if (observer != nullptr) observer->body_arrived({dst + done, k});
      pos_ += k;
      done += k;
      continue;
    }
    // Large remainders go straight into the caller's buffer; small ones refill the read-ahead.
    const bool direct = n - done >= kBufferSize;
    std::size_t want = direct ? n - done : kBufferSize;
    if (direct && must_grow(want)) {
      want = std::min(want, kGrowStep);
      grow(want);
    }
    const ssize_t r = ::read(fd_, direct ? dst + done : buf_, want);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kFailed;
    }
    if (r == 0) return done;
    if (direct) {
      if (observer != nullptr) observer->body_arrived({dst + done, static_cast<std::size_t>(r)});
      done += static_cast<std::size_t>(r);
    } else {
      pos_ = 0;
      end_ = static_cast<std::size_t>(r);
    }
  }
  return done;
}

namespace {
// Standard input is only ever read under its lock, so one read-ahead buffer serves every reader.
FrameReader& stdin_reader() {
  static FrameReader* const reader = new FrameReader(STDIN_FILENO);
  return *reader;
}
}  // namespace

NativeRead read_native_message(const StdinHold&) { return stdin_reader().next(); }

NativeRead read_native_message(const StdinHold&, std::string& body) { return stdin_reader().next(body); }

NativeRead read_native_message(const StdinHold&, std::string& body, BodyObserver& observer) {
  return stdin_reader().next(body, observer);
}

std::uint64_t frame_bytes_written() noexcept { return frame_bytes.load(std::memory_order_relaxed); }

bool write_native_message_to(int fd, std::string_view body) {
  if (body.size() <= kMaxOutboundMessage) return write_frame(fd, body);

  log_line("dropped an app message over 1 MB");
  // Only the "id" is wanted of a line that may be as large as the link allows: it is found in one pass
  // that keeps nothing else of the line.
  const std::optional<std::string> id = json::top_level_id(body);
  if (!id) return true;
  // The reply's keys in byte order, as the host writes every object.
  const std::string text = "{\"error\":\"too-large\",\"id\":" + *id + ",\"type\":\"error\"}";
  // A reply that is itself oversized (a huge "id") is dropped too, rather than guarded again.
  if (text.size() > kMaxOutboundMessage) return true;
  return write_frame(fd, text);
}

bool write_native_message(const StdoutHold&, std::string_view body) {
  return write_native_message_to(STDOUT_FILENO, body);
}

}  // namespace karvo
