// Installing and removing karvo-host's manifest for a set of browsers.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "browsers.h"

namespace karvo::reg {

// install writes manifests that list exactly the extensions given; allow and disallow add extensions
// to manifests already registered, or take them out, keeping the host and the other extensions.
enum class Action { install, remove, allow, disallow };

struct Request {
  Action action = Action::install;
  Scope scope = Scope::user;
  // The browsers named by the user. When empty: every supported browser with `all`, else for an
  // install the browsers found on this system, otherwise every supported browser.
  std::vector<Browser> browsers;
  bool all = false;
  std::vector<std::string> origins;      // normalised chrome-extension://ID/ (Chromium family)
  std::vector<std::string> firefox_ids;  // Firefox extension ids
  std::string host_path;                 // absolute path of karvo-host as the browsers will see it
  bool dry_run = false;
  // install: also replace a file at our manifest's path that is not a manifest of ours (a broken one,
  // say), or an empty folder in its place.
  bool replace = false;
  // Also put the host inside the sandbox of each Flatpak browser (this user only): a copy of karvo-host
  // in the app's folder, a manifest where the sandboxed browser reads it, and read access to Karvo's
  // data directory through the app's override file. Removal always undoes it.
  bool in_sandbox = false;
  // Keep beside each file written a record of what was made for it (install_record.h), which removal
  // follows. Off when acting on a staging folder for a package, whose files the package manager owns.
  bool record = true;
};

struct Outcome {
  std::vector<std::string> lines;  // what happened (or would), one finding per line
  bool ok = true;                  // false when something could not be done
  // Called with each line as it is added: a change is announced before it is made.
  std::function<void(const std::string&)> print;

  void say(std::string line) {
    if (print) print(line);
    lines.push_back(std::move(line));
  }
};

// Carries out the request: writes only our manifest files, replaces only manifests of ours, removes
// only those. Running the same request twice leaves the same files and changes nothing the second time.
Outcome run_request(const Request& request, const Places& places,
                    std::function<void(const std::string&)> print = {});

}  // namespace karvo::reg
