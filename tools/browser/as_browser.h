// Starting a host as a given browser would, from the manifest registered for it, and judging the host's
// replies as a browser does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace karvo::browser {

// How the browser would start the host: the program and its arguments, in the host's folder.
struct HostLaunch {
  std::vector<std::string> argv;
  std::string cwd;
  std::string manifest;  // the manifest that named the host
};

// Finds the manifest that browser `b` would use for com.karvo.bridge (the user's first) and the launch
// it makes for `extension` (a chrome-extension:// origin, or a Firefox extension id): Chromium-based
// browsers pass the caller's origin, Firefox the manifest's path and the extension id. On refusal
// (no usable manifest, the extension not allowed), nothing, and `why` says what the browser would.
std::optional<HostLaunch> launch_as(reg::Browser b, const std::string& extension, const reg::Places& places,
                                    std::string& why);

// Why a browser would reject this message from a host ("" when it takes it): over 1 MiB, or not JSON.
std::string rejection(std::string_view body);

}  // namespace karvo::browser
