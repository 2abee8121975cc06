// The host's endpoint reader on arbitrary file content: a record comes back exactly when the content is
// one JSON object whose "port" is an integer from 1 to 65535 and whose "token" is a string, judged by a
// second JSON reader; "exe" is taken when it is a string and never makes the file unusable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "fuzz_check.h"
#include "reference_json.h"

namespace {

// The record that the content describes, read with the reference reader; nothing when it is unusable.
std::optional<karvo::IpcInfo> expected_record(const karvo::fuzz::Reference& document) {
  if (!document.is_object()) return std::nullopt;
  const auto port = document.find("port");
  if (port == document.end() || !port->is_number_unsigned()) return std::nullopt;
  const auto number = port->get<std::uint64_t>();
  if (number < 1 || number > 65535) return std::nullopt;
  const auto token = document.find("token");
  if (token == document.end() || !token->is_string()) return std::nullopt;
  karvo::IpcInfo info;
  info.port = static_cast<std::uint16_t>(number);
  info.token = token->get<std::string>();
  if (const auto exe = document.find("exe"); exe != document.end() && exe->is_string()) {
    info.exe = exe->get<std::string>();
  }
  return info;
}

bool same_record(const karvo::IpcInfo& a, const karvo::IpcInfo& b) {
  return a.port == b.port && a.token == b.token && a.exe == b.exe;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<karvo::IpcInfo> info = karvo::parse_ipc_info(text);
  if (info) KARVO_FUZZ_CHECK(info->port >= 1);

  if (karvo::fuzz::outside_common_rules(text)) {
    KARVO_FUZZ_CHECK(!info);
    return 0;
  }
  const auto document = karvo::fuzz::reference_parse(text);
  const std::optional<karvo::IpcInfo> expected = document ? expected_record(*document) : std::nullopt;
  KARVO_FUZZ_CHECK(info.has_value() == expected.has_value());
  if (info) KARVO_FUZZ_CHECK(same_record(*info, *expected));
  return 0;
}
