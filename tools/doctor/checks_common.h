// What the doctor's checks share: the report they add findings to, the commands they advise, and the
// bounded reads of files that anyone may have put in place.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "checks.h"

namespace karvo::doctor {

// The findings of one run, in the order they were made.
class Report {
 public:
  void ok(std::string text) { out_.push_back({Level::ok, std::move(text)}); }
  void note(std::string text) { out_.push_back({Level::note, std::move(text)}); }
  void problem(std::string text) { out_.push_back({Level::problem, std::move(text)}); }
  std::vector<Finding> take() { return std::move(out_); }

 private:
  std::vector<Finding> out_;
};

// "a, b, c".
std::string join(const std::vector<std::string>& items);

// A word of a command as a POSIX shell reads it: quoted when it holds anything but plain characters.
std::string shell_word(const std::string& text);

// `a` and then what `b` adds to it.
std::vector<std::string> merged(std::vector<std::string> a, const std::vector<std::string>& b);

// A karvo-register command for one browser and scope that mends what was found. The extensions it
// names are `allowed`, and --root carries over, so that the command acts on the very files that were
// checked. Without any extension to name the command cannot be run as it stands: it holds
// "--origin ID" (or "--extension-id ID") where the extensions go, and `placeholder_hint` says what to
// put there.
std::string register_command(std::string_view verb, reg::Browser b, reg::Scope scope,
                             const std::vector<std::string>& allowed, const reg::Places& places,
                             std::string_view extra = {});
// " (put your extension's id ... in place of ID)" for each placeholder that `command` holds (ID, and
// HOST for the path of karvo-host), else "".
std::string placeholder_hint(const std::string& command);
// "<lead><placeholder_hint>: <command>", the command last so that it can be copied whole.
std::string advice(std::string_view lead, const std::string& command);

// The extensions asked about for the family of `b`.
const std::vector<std::string>& wanted_for(reg::Browser b, const Options& o);

// The scope of a manifest path that the search found.
reg::Scope scope_of(reg::Browser b, const std::string& path, const reg::Places& places);

// The karvo-host to suggest when a manifest names none that works: the one beside this program, as
// the browsers will see it (without the root), when it is there.
std::optional<std::string> suggested_host(const reg::Places& places);

// A manifest, policy or override file: at most reg::kMaxSettingsFile bytes, never waiting on a FIFO.
std::optional<std::string> read_settings(const std::string& path, int* error = nullptr);

// The desktop's data folders, places.data_home first, then $XDG_DATA_DIRS (under the root), each with
// `sub` appended.
std::vector<std::string> xdg_data_dirs(const reg::Places& places, std::string_view sub);

// Checks one browser's registration (its manifest, the host it names, the extensions it allows and the
// policies that apply); gives the host that its manifest names (as the browser sees it) when the
// manifest is usable.
std::optional<std::string> check_browser(reg::Browser b, const Options& o, const reg::Places& places, Report& r);

// The browsers to check: those asked about, else those registered for, else those found here.
std::vector<reg::Browser> browsers_to_check(const Options& o, const reg::Places& places, Report& r);

// A note of the version that each host carries.
void report_host_versions(const std::vector<std::string>& hosts, const reg::Places& places, Report& r);

// Checks that Karvo can be reached through its endpoint file; true when it can.
bool check_application(Report& r);

// Whether a host started now could start Karvo, and whether a launch is under way.
void check_launch(const std::vector<std::string>& hosts, const reg::Places& places, Report& r);
void check_launch_lock(Report& r);

}  // namespace karvo::doctor
