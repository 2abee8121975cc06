// Where the desktop application publishes its endpoint, and the reader of that file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace karvo {

// The validated content of the endpoint file.
struct IpcInfo {
  std::uint16_t port = 0;
  std::string token;
  std::optional<std::string> exe;
};

// "<home>/Library/Application Support/com.karvo.app", computed afresh at every call. The home is $HOME
// when set and not empty, else the password-database home of the real user, else the data directory is
// the relative "./com.karvo.app".
std::string data_dir();

// Reads "<data_dir>/ipc.json"; nothing when the file is unusable (among others: not a regular file, or
// over 64 KiB), without saying why.
std::optional<IpcInfo> read_ipc_info();

// The same rules applied to file content already in memory (used by read_ipc_info and its tests).
std::optional<IpcInfo> parse_ipc_info(std::string_view text);

}  // namespace karvo
