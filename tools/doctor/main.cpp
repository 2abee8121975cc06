// karvo-doctor: says plainly why a browser extension cannot reach the Karvo desktop application.
// It checks each browser's manifest of com.karvo.bridge, the endpoint file, the application's
// answer and the launch lock, one line per finding, and changes nothing.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "checks.h"
#include "karvo_version.h"
#include "manifest.h"
#include "standard_descriptors.h"

namespace {

using namespace karvo;

constexpr std::string_view kUsage = R"(usage: karvo-doctor [options]
Checks why a browser extension cannot reach Karvo through karvo-host (com.karvo.bridge): each
browser's manifest and the host it names, the extensions it allows, Karvo's endpoint file, Karvo
accepting a connection and its token, and a launch under way; for browsers installed as a Flatpak or
a Snap, whether the desktop's native messaging proxy runs or can be started (asked of the session
bus), the manifest it would serve, or karvo-host inside the sandbox. One line per finding:
"ok:", "note:" or "problem:" followed by what to do about it. Nothing is changed.
  --browser NAME      check this browser (repeat for several); default: the browsers registered
                      for, else every browser found here. Known: chrome, chrome-beta, chrome-dev,
                      chrome-canary, chromium, edge, edge-beta, edge-dev, brave, vivaldi, firefox,
                      librewolf, waterfox
  --origin ORIGIN     your extension for Chromium-based browsers, chrome-extension://ID/ or the ID;
                      checked to be allowed (repeat for several)
  --extension-id ID   your extension for Firefox, checked to be allowed (repeat for several)
  --root DIR          look for system-wide files under DIR as if it were /
  --help, --version   this text; the version
Exit status: 0 when all is well, 1 when a problem was found, 2 on a usage error.
)";

int usage_error(const std::string& text) {
  std::fprintf(stderr, "karvo-doctor: %s\n(karvo-doctor --help shows the options)\n", text.c_str());
  return 2;
}

int run(const std::vector<std::string>& args) {
  doctor::Options options;
  std::string root;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    }
    if (a == "--version") {
      std::puts("karvo-doctor " KARVO_VERSION);
      return 0;
    }
    if (a != "--browser" && a != "--origin" && a != "--extension-id" && a != "--root") {
      return usage_error("unknown option " + a);
    }
    if (i + 1 >= args.size()) return usage_error(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--browser") {
      const std::optional<reg::Browser> b = reg::browser_from_key(v);
      if (!b) return usage_error("unknown browser " + v + "; say one of " + reg::browser_keys());
      if (std::find(options.browsers.begin(), options.browsers.end(), *b) == options.browsers.end()) {
        options.browsers.push_back(*b);
      }
    } else if (a == "--origin") {
      const std::optional<std::string> origin = reg::normalise_origin(v);
      if (!origin) return usage_error(v + " is not an extension origin like chrome-extension://<32 letters a-p>/");
      options.origins.push_back(*origin);
    } else if (a == "--extension-id") {
      if (!reg::valid_firefox_id(v)) return usage_error(v + " is not a Firefox extension id like name@example.com");
      options.firefox_ids.push_back(v);
    } else {
      root = v;
    }
  }
  std::size_t problems = 0;
  for (const doctor::Finding& f : doctor::run_checks(options, reg::current_places(root))) {
    std::printf("%s\n", doctor::format(f).c_str());
    problems += f.level == doctor::Level::problem;
  }
  if (problems == 0) {
    std::printf("all is well\n");
  } else {
    std::printf("%zu problem%s found\n", problems, problems == 1 ? "" : "s");
  }
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing meant for a standard stream lands in a file opened later.
  if (!karvo::ensure_standard_descriptors()) return 1;
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (...) {
    std::fputs("karvo-doctor: out of memory\n", stderr);
    return 1;
  }
}
