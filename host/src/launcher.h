// Starting the desktop application when the browser asks for it, coordinated between hosts through
// the launch lock in the data directory.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app_link.h"
#include "spawn_process.h"

namespace karvo {

// Takes the launch lock or waits for the host that holds it, starts the application (launcher only) and
// waits up to 20 s for it. On nothing it has logged "Karvo is not running and could not be started".
std::optional<AppLink> launch_app();

// The pieces of launch_app, open to the tests.
namespace launch_detail {

inline constexpr std::string_view kAppId = "com.karvo.app";
inline constexpr std::string_view kBackgroundArg = "--background";
inline constexpr std::chrono::steady_clock::duration kWaitForApp = std::chrono::seconds(20);
inline constexpr std::chrono::steady_clock::duration kAttemptPause = std::chrono::milliseconds(300);

// The program that opens applications: the platform's `open` on macOS; elsewhere its equivalent
// karvo-open, beside the host's executable when it is there, else looked up in PATH.
struct OpenTool {
  std::string program;
  bool search_path = true;
  friend bool operator==(const OpenTool&, const OpenTool&) = default;
};
OpenTool open_tool(const std::optional<std::string>& host_path);

// The places where the application may be, in the order they are tried: the endpoint file's hint, the
// four names beside the host's executable, then /Applications/Karvo.app.
std::vector<std::string> launch_candidates(const std::optional<std::string>& hint,
                                           const std::optional<std::string>& host_path);

// How a candidate is started: through the open tool for a path inside an application bundle or of one,
// directly otherwise (standard input and output on the null device).
SpawnSpec launch_command(std::string_view candidate, const OpenTool& open);

// What runs when no candidate could be started: the application registered as com.karvo.app.
SpawnSpec fallback_command(const OpenTool& open);

// How one attempt of wait_for_app went.
enum class Attempt { no_endpoint, not_connected, linked };

// Pauses `pause`, reads the endpoint file and connects, over and over, until a link or until `limit` has
// passed on the monotonic clock (tested before each pause). `observe`, when given, hears every attempt.
std::optional<AppLink> wait_for_app(std::chrono::steady_clock::duration limit,
                                    std::chrono::steady_clock::duration pause,
                                    const std::function<void(Attempt)>& observe = {});

}  // namespace launch_detail
}  // namespace karvo
