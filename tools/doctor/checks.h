// The checks of karvo-doctor: why an extension cannot reach the Karvo desktop application.
#pragma once

#include <string>
#include <vector>

#include "browsers.h"

namespace karvo::doctor {

enum class Level { ok, note, problem };

// One finding: what was seen and, when something is wrong, what to do about it.
struct Finding {
  Level level;
  std::string text;
};

struct Options {
  std::vector<reg::Browser> browsers;    // empty: every browser found here or holding our manifest
  std::vector<std::string> origins;      // normalised; extensions the Chromium family must allow
  std::vector<std::string> firefox_ids;  // extensions Firefox must allow
};

// The browsers' manifests (from `places`), then the endpoint file, the application and the launch
// lock in the data directory of this process's home.
std::vector<Finding> run_checks(const Options& options, const reg::Places& places);

// "ok: ...", "note: ..." or "problem: ...".
std::string format(const Finding& finding);

}  // namespace karvo::doctor
