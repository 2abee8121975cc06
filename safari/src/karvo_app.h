// The desktop application as the extension knows it: its identifier, the user's home and the endpoint
// file's path.
#pragma once

#include <string>

namespace karvo::safari {

struct KarvoApp {
  KarvoApp() = delete;

  // The application's bundle identifier: the text under "KarvoAppID" in the extension's bundle
  // information, verbatim, else "com.karvo.app". Fixed at first use.
  static const std::string& appID();

  // The user's real home directory: the user database entry's, else the platform's home for the process.
  // The environment is not consulted. Computed at each use.
  static std::string home();

  // home + "/Library/Application Support/" + appID + "/ipc.json", computed at each use.
  static std::string ipcPath();
};

}  // namespace karvo::safari
