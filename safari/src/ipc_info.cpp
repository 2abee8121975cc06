#include "ipc_info.h"

#include <cstdint>

#include "json_value.h"
#include "karvo_app.h"
#include "platform/file_system.h"
#include "platform/json_text.h"

namespace karvo::safari {
namespace {

// Any real endpoint file is a few hundred bytes; a larger one is unusable.
constexpr std::size_t kMaxEndpointFile = 64 * 1024;

// A port is an integer from 1 to 65535; a fraction, a boolean or anything out of range makes the file
// unusable rather than pointing the token at some other port.
std::optional<std::uint16_t> portOf(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto port = value.get<std::uint64_t>();
    if (port >= 1 && port <= 65535) return static_cast<std::uint16_t>(port);
  } else if (value.is_number_integer()) {
    const auto port = value.get<std::int64_t>();
    if (port >= 1 && port <= 65535) return static_cast<std::uint16_t>(port);
  }
  return std::nullopt;
}

}  // namespace

std::optional<IpcInfo> IpcInfo::read() {
  const auto contents = platform::fileContents(KarvoApp::ipcPath(), kMaxEndpointFile);
  if (!contents) return std::nullopt;
  return parse(*contents);
}

std::optional<IpcInfo> IpcInfo::parse(std::string_view contents) {
  const auto document = platform::parseJson(contents);
  if (!document || !document->is_object()) return std::nullopt;
  const auto port = document->find("port");
  if (port == document->end()) return std::nullopt;
  const auto portNumber = portOf(*port);
  if (!portNumber) return std::nullopt;
  const std::string* token = stringMember(*document, "token");
  if (token == nullptr) return std::nullopt;
  const std::string* exe = stringMember(*document, "exe");
  return IpcInfo(*portNumber, *token, exe != nullptr ? std::optional<std::string>(*exe) : std::nullopt);
}

}  // namespace karvo::safari
