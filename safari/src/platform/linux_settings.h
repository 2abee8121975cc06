// Settings of the Linux stand-ins for the platform facilities. The stand-in extension host fills them from
// its command line before the first request; tests set them directly. Every stand-in reads them afresh.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::safari::platform {

struct LinuxSettings {
  // The extension bundle's location; empty: derived from the running executable's path
  // (…/X.appex/Contents/MacOS/KarvoSafari gives …/X.appex, any other place its directory).
  std::string bundlePath;
  // The workspace's application registry: bundle identifier -> application location. Empty by default.
  std::map<std::string, std::string> registeredApplications;
  // The user database entry's home directory: unset asks the real user database; an empty text stands
  // for an entry without a home directory.
  std::optional<std::string> userDatabaseHome;
  // The platform's home directory for the process; empty: $HOME, or "/" without one.
  std::string processHome;
  // The system version that the version check compares against.
  int systemMajor = 14;
  int systemMinor = 0;
  // False: opening an application never reports back (a launch service that hangs).
  bool workspaceReportsBack = true;
  // Receives every log entry (level "error" or "info", text); unset: standard error, one line each.
  std::function<void(std::string_view level, std::string_view text)> logSink;
};

LinuxSettings linuxSettings();
void setLinuxSettings(LinuxSettings settings);

}  // namespace karvo::safari::platform
