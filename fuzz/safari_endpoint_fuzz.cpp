// The Safari side's endpoint reader on arbitrary file content. A record always has a port from 1 to
// 65535, content with a NUL byte (which no JSON text holds) never gives one, and on the ground that both
// deliverables' readers share (no byte-order mark, nesting up to 127 levels) it is the very record that
// the host's reader finds in the same content.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "endpoint.h"
#include "fuzz_check.h"
#include "ipc_info.h"
#include "reference_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<karvo::safari::IpcInfo> info = karvo::safari::IpcInfo::parse(text);
  if (info) KARVO_FUZZ_CHECK(info->port() >= 1);
  if (text.find('\0') != std::string_view::npos) KARVO_FUZZ_CHECK(!info);

  const std::optional<karvo::IpcInfo> host = karvo::parse_ipc_info(text);
  if (karvo::fuzz::outside_common_rules(text)) {
    KARVO_FUZZ_CHECK(!host);
    return 0;
  }
  KARVO_FUZZ_CHECK(info.has_value() == host.has_value());
  if (info) {
    KARVO_FUZZ_CHECK(info->port() == host->port);
    KARVO_FUZZ_CHECK(info->token() == host->token);
    KARVO_FUZZ_CHECK(info->exe() == host->exe);
  }
  return 0;
}
