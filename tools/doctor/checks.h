// The checks of karvo-doctor: why an extension cannot reach the Karvo desktop application.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "session_bus.h"

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

// How the checks ask the session bus about a name: ask_session_bus, or a stand-in.
using BusQuery = std::function<BusName(std::string_view name)>;

// The browsers' manifests (from `places`), the browsers installed as a Flatpak or a Snap, then the
// endpoint file, the application and the launch lock in the data directory of this process's home.
std::vector<Finding> run_checks(const Options& options, const reg::Places& places,
                                const BusQuery& ask_bus = ask_session_bus);

// The findings about the browsers installed as a Flatpak or a Snap: whether the desktop's native
// messaging proxy runs or can be started (asked through `ask_bus`), the manifest that the proxy would
// serve them, and the host inside a Flatpak's sandbox. Nothing when there is no such browser.
std::vector<Finding> check_sandboxed_browsers(const Options& options, const reg::Places& places,
                                              const BusQuery& ask_bus);

// "ok: ...", "note: ..." or "problem: ...", one line: control characters, C1 controls and bytes that
// are not UTF-8 are shown as \xNN, so that nothing read from a file can move the cursor or forge a line.
std::string format(const Finding& finding);
std::string printable(std::string_view text);

}  // namespace karvo::doctor
