// The endpoint record that the running application publishes in its endpoint file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace karvo::safari {

class IpcInfo {
 public:
  IpcInfo(std::uint16_t port, std::string token, std::optional<std::string> exe)
      : port_(port), token_(std::move(token)), exe_(std::move(exe)) {}

  std::uint16_t port() const noexcept { return port_; }  // 1 to 65535
  const std::string& token() const noexcept { return token_; }
  const std::optional<std::string>& exe() const noexcept { return exe_; }

  // Reads the file at KarvoApp::ipcPath() afresh; nothing when it is unusable (among others: not a
  // regular file, or over 64 KiB). Never logs.
  static std::optional<IpcInfo> read();

  // The same rules on file content in memory: a JSON object with "port" an integer from 1 to 65535,
  // "token" a string, and optionally "exe" a string (any other "exe" is left out).
  static std::optional<IpcInfo> parse(std::string_view contents);

 private:
  std::uint16_t port_;
  std::string token_;
  std::optional<std::string> exe_;
};

}  // namespace karvo::safari
