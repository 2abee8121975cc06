// The platform's workspace: the application registry and opening applications.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace karvo::safari::platform {

// The registered location of the application with the given bundle identifier, if the registry knows one.
std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier);

struct OpenConfiguration {
  bool activates = true;          // bring the application to the front
  bool addsToRecentItems = true;  // list it among the recent items
  std::vector<std::string> arguments;
};

// Called once, on a thread of the platform's choosing: nothing when the application was opened, else the
// platform error's localised description.
using OpenCompletion = std::function<void(const std::optional<std::string>& error)>;

// Opens the application bundle at `path`. Returns at once; `completion` reports the outcome later (or,
// if the platform never answers, not at all).
void openApplication(const std::string& path, const OpenConfiguration& configuration,
                     OpenCompletion completion);

}  // namespace karvo::safari::platform
