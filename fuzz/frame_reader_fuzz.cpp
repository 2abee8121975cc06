// The browser frame reader over an arbitrary byte stream: every outcome matches a plain decoding of the
// same bytes (4-byte little-endian length, then the body), whatever the frames' sizes and wherever they
// fall against the reader's read-ahead buffer.
//
// The first input byte chooses filler frames put before the rest of the input: none for 0, otherwise
// frames that end that many bytes before the 64 KiB mark, so that the frames under test straddle the point
// where the read-ahead buffer is refilled.
//
// The reader allocates a body's declared length before it reads the body, up to 64 MiB. Inputs that
// declare a body far longer than what follows are left out: they take the same road as a body cut short
// nearby, and the allocations would slow the search a thousandfold.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "framing.h"
#include "fuzz_check.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t kReadAhead = 64 * 1024;
constexpr std::size_t kFillerFrame = 4096;  // small frames, so that no body costs a large allocation

void append_le32(std::string& out, std::uint32_t n) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((n >> shift) & 0xFF));
}

std::uint32_t le32(std::string_view bytes) {
  std::uint32_t n = 0;
  for (int k = 3; k >= 0; --k) {
    n = n << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(k)]);
  }
  return n;
}

// A readable descriptor holding exactly `bytes`, read from the start. One file serves every input: making
// a new one each time costs more than the reading under test.
int stream_of(std::string_view bytes) {
  static const karvo::UniqueFd file(::memfd_create("frames", MFD_CLOEXEC));
  KARVO_FUZZ_CHECK(file);
  KARVO_FUZZ_CHECK(::ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0);
  for (off_t at = 0; !bytes.empty();) {
    const ssize_t n = ::pwrite(file.get(), bytes.data(), bytes.size(), at);
    if (n < 0 && errno == EINTR) continue;
    KARVO_FUZZ_CHECK(n > 0);
    bytes.remove_prefix(static_cast<std::size_t>(n));
    at += n;
  }
  KARVO_FUZZ_CHECK(::lseek(file.get(), 0, SEEK_SET) == 0);
  return file.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static std::string stream;  // keeps its capacity from input to input
  stream.clear();
  if (const std::size_t before_mark = data[0]; before_mark != 0) {
    for (std::size_t filler = kReadAhead - before_mark; filler > 0;) {
      const std::size_t frame = filler >= 2 * kFillerFrame ? kFillerFrame : filler;
      append_le32(stream, static_cast<std::uint32_t>(frame - 4));
      stream.append(frame - 4, 'f');
      filler -= frame;
    }
  }
  stream.append(reinterpret_cast<const char*>(data) + 1, size - 1);

  for (std::size_t at = 0; stream.size() - at >= 4;) {
    const std::uint32_t length = le32(std::string_view(stream).substr(at, 4));
    if (length > karvo::kMaxInboundMessage) break;
    const std::size_t left = stream.size() - at - 4;
    if (length > left + kReadAhead) return 0;
    if (length > left) break;
    at += 4 + length;
  }

  // The reader with its 64 KiB buffer lives in the same storage for every input.
  alignas(karvo::FrameReader) static unsigned char storage[sizeof(karvo::FrameReader)];
  auto* const reader = new (storage) karvo::FrameReader(stream_of(stream));
  const std::string_view bytes(stream);
  std::size_t at = 0;
  for (;;) {
    const karvo::NativeRead read = reader->next();
    const std::size_t left = bytes.size() - at;
    if (left < 4) {
      KARVO_FUZZ_CHECK(read.kind == karvo::NativeRead::Kind::end_of_input);
      break;
    }
    const std::uint32_t length = le32(bytes.substr(at, 4));
    if (length > karvo::kMaxInboundMessage) {
      KARVO_FUZZ_CHECK(read.kind == karvo::NativeRead::Kind::failure);
      KARVO_FUZZ_CHECK(std::strcmp(read.error, "message too large") == 0);
      break;
    }
    if (left - 4 < length) {
      KARVO_FUZZ_CHECK(read.kind == karvo::NativeRead::Kind::failure);
      break;
    }
    KARVO_FUZZ_CHECK(read.kind == karvo::NativeRead::Kind::message);
    KARVO_FUZZ_CHECK(read.body == bytes.substr(at + 4, length));
    at += 4 + length;
  }
  return 0;
}
