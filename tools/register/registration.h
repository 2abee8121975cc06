// Installing and removing karvo-host's manifest for a set of browsers.
#pragma once

#include <string>
#include <vector>

#include "browsers.h"

namespace karvo::reg {

enum class Action { install, remove };

struct Request {
  Action action = Action::install;
  Scope scope = Scope::user;
  // The browsers named by the user. When empty: every supported browser with `all`, else for an
  // install the browsers found on this system, for a removal every supported browser.
  std::vector<Browser> browsers;
  bool all = false;
  std::vector<std::string> origins;      // normalised chrome-extension://ID/ (Chromium family)
  std::vector<std::string> firefox_ids;  // Firefox extension ids
  std::string host_path;                 // absolute path of karvo-host as the browsers will see it
  bool dry_run = false;
};

struct Outcome {
  std::vector<std::string> lines;  // what happened (or would), one finding per line
  bool ok = true;                  // false when something could not be done
};

// Carries out the request: writes only our manifest files, replaces only manifests of ours, removes
// only those. Running the same request twice leaves the same files and changes nothing the second time.
Outcome run_request(const Request& request, const Places& places);

}  // namespace karvo::reg
