// A byte stream cut into receives chosen by the fuzzer: the bytes travel over a socket pair that keeps
// packet boundaries, so that each packet is exactly one receive on the reading end.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

namespace karvo::fuzz {

struct CutStream {
  std::string bytes;
  std::vector<std::size_t> ends;  // where each receive ends, ascending; the last is bytes.size()
};

// From the end of the input, the number of cuts (up to 24) and their positions; the rest of the input,
// from the start, is the stream.
inline CutStream cut_stream(FuzzedDataProvider& input) {
  std::vector<std::uint16_t> cuts(input.ConsumeIntegralInRange<std::size_t>(0, 24));
  for (auto& cut : cuts) cut = input.ConsumeIntegral<std::uint16_t>();
  CutStream stream{input.ConsumeRemainingBytesAsString(), {}};
  for (const std::uint16_t cut : cuts) stream.ends.push_back(cut % (stream.bytes.size() + 1));
  std::sort(stream.ends.begin(), stream.ends.end());
  stream.ends.push_back(stream.bytes.size());
  return stream;
}

// Sends the stream's pieces as packets on one end of a new socket pair and closes that end, as an
// application closes the link after its last byte. Returns the other end, for the caller to own.
inline int deliver(const CutStream& stream) {
  int ends[2];
  KARVO_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
  std::size_t from = 0;
  for (const std::size_t end : stream.ends) {
    // An empty packet would read as the end of the stream.
    const std::string_view packet = std::string_view(stream.bytes).substr(from, end - from);
    while (!packet.empty()) {
      const ssize_t sent = ::send(ends[1], packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && errno == EINTR) continue;
      KARVO_FUZZ_CHECK(sent == static_cast<ssize_t>(packet.size()));
      break;
    }
    from = end;
  }
  ::close(ends[1]);
  return ends[0];
}

}  // namespace karvo::fuzz
