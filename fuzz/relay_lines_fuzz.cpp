// The relay's line splitting over arbitrary segmentations: whatever the bytes and however they are cut
// into receives, the relay hands over the same objects, those of the complete lines of the whole stream
// that parse as JSON objects, in order; a read that ends early at a matching object leaves the rest for
// the next read.
//
// Input, from its end: every how many objects a read ends early (0: never), then the stream and its cuts
// (packet_stream.h).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "json_value.h"
#include "packet_stream.h"
#include "platform/json_text.h"
#include "relay_link.h"

namespace {

using karvo::safari::Json;

// The objects of the complete lines of `stream`, as the relay's JSON facility reads them.
std::vector<Json> objects_of_lines(std::string_view stream) {
  std::vector<Json> objects;
  for (std::size_t lf = stream.find('\n'); lf != std::string_view::npos; lf = stream.find('\n')) {
    auto value = karvo::safari::platform::parseJson(stream.substr(0, lf));
    if (value && value->is_object()) objects.push_back(std::move(*value));
    stream.remove_prefix(lf + 1);
  }
  return objects;
}

}  // namespace

// Every read allocates a fresh 64 KiB receive buffer, and AddressSanitizer's default 256 MB quarantine
// of freed memory makes each of them cost fresh pages. A smaller quarantine still holds every block
// freed within one input, and the search runs several times faster.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const unsigned every = input.ConsumeIntegralInRange<unsigned>(0, 7);
  const karvo::fuzz::CutStream stream = karvo::fuzz::cut_stream(input);
  // A packet longer than the relay's receive buffer would be cut short by the receive.
  if (stream.bytes.size() > karvo::safari::RelayLink::kReceiveBufferSize) return 0;
  karvo::safari::RelayLink link;
  link.adopt(karvo::safari::UniqueFd(karvo::fuzz::deliver(stream)));

  std::size_t seen = 0;
  const karvo::safari::RelayLink::Until until = [&seen, every](const Json&) {
    return ++seen % every == 0;
  };
  std::vector<Json> received;
  for (std::size_t reads = 0;; ++reads) {
    KARVO_FUZZ_CHECK(reads <= stream.bytes.size() + 1);
    const std::size_t before = received.size();
    // The peer's end is already there, so no read waits out its time.
    if (!link.read(every == 0 ? karvo::safari::RelayLink::Until() : until, 30.0, received)) break;
    // A read that succeeds before the end ended early, at an object that the test matched.
    KARVO_FUZZ_CHECK(every != 0 && received.size() > before && seen % every == 0);
  }
  KARVO_FUZZ_CHECK(!link.linked());
  KARVO_FUZZ_CHECK(link.pending().empty());
  KARVO_FUZZ_CHECK(received == objects_of_lines(stream.bytes));
  return 0;
}
