// karvo-register: registers karvo-host as the native messaging host "com.karvo.bridge" with the
// browsers (Google Chrome, Chromium, Microsoft Edge, Brave, Vivaldi, Firefox), or removes it.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "executable_path.h"
#include "karvo_version.h"
#include "manifest.h"
#include "registration.h"
#include "standard_descriptors.h"

namespace {

using namespace karvo::reg;

constexpr std::string_view kUsage = R"(usage: karvo-register install|remove|allow|disallow [options]
Installs or removes the native messaging host manifest "com.karvo.bridge.json" that lets browser
extensions start karvo-host.
  install             write the manifests, allowing exactly the extensions given
  remove              remove them (and the folders that registration made, when empty)
  allow, disallow     add the extensions given to the manifests already registered, or take them out;
                      the host and the other extensions stay
  --browser NAME      one of the browsers below; repeat for several. Default: install for every
                      browser found here, otherwise all
  --all               every supported browser, found here or not
  --system            system-wide manifests (needs root) instead of this user's
  --origin ORIGIN     an extension allowed to connect from Chromium-based browsers:
                      chrome-extension://ID/ or the bare ID; repeat for several
  --extension-id ID   an extension allowed to connect from Firefox (like name@example.com);
                      repeat for several
  --host PATH         the karvo-host to register (default: karvo-host beside this program)
  --root DIR          act under DIR as if it were / (packaging)
  --replace           install: overwrite a broken file (or an empty folder) in the manifest's place
  --in-sandbox        install: also put karvo-host inside the sandbox of each Flatpak browser, for
                      desktops without the native messaging proxy: a copy of karvo-host in
                      ~/.var/app/<app id>/com.karvo.bridge, the manifest in the sandbox's folder, and
                      read-only access to Karvo's data directory in the app's override file (as
                      `flatpak override --user --filesystem=...:ro <app id>` would); this user only.
                      remove takes all of it away
  --dry-run           show what would be written or removed, and change nothing
  --help, --version   this text; the version
Browsers: chrome, chrome-beta, chrome-dev, chrome-canary, chromium, edge, edge-beta, edge-dev,
brave, vivaldi (Chromium-based: --origin); firefox, librewolf, waterfox (Linux only) (Firefox-based:
--extension-id). Other Firefox forks that read ~/.mozilla use the firefox registration.
Browsers installed as a Flatpak or a Snap also get the manifest where the desktop's native messaging
proxy looks (~/.config/chromium or ~/.mozilla).
The manifest lists exactly the extensions given. Installing again with the same options changes
nothing; removing touches only manifests of com.karvo.bridge.
Exit status: 0 when everything was done, 1 when something could not be, 2 on a usage error.
)";

int usage_error(const std::string& text) {
  std::fprintf(stderr, "karvo-register: %s\n(karvo-register --help shows the options)\n", text.c_str());
  return 2;
}

// The karvo-host beside this program, as the browsers will see it: without `root` when it lies there.
std::string default_host_path(std::string root) {
  const std::optional<std::string> self = karvo::executable_path();
  if (!self) return "karvo-host";
  const std::size_t slash = self->rfind('/');
  if (slash == std::string::npos) return "karvo-host";
  std::string host = self->substr(0, slash + 1) + "karvo-host";
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (!root.empty() && host.starts_with(root + "/")) host.erase(0, root.size());
  return host;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("say install, remove, allow or disallow");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage.data(), stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::puts("karvo-register " KARVO_VERSION);
    return 0;
  }
  Request req;
  if (args[0] == "install") {
    req.action = Action::install;
  } else if (args[0] == "remove") {
    req.action = Action::remove;
  } else if (args[0] == "allow") {
    req.action = Action::allow;
  } else if (args[0] == "disallow") {
    req.action = Action::disallow;
  } else {
    return usage_error("unknown command " + args[0] + "; say install, remove, allow or disallow");
  }
  std::string root;
  std::optional<std::string> host;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    } else if (a == "--all") {
      req.all = true;
    } else if (a == "--system") {
      req.scope = Scope::system;
    } else if (a == "--dry-run") {
      req.dry_run = true;
    } else if (a == "--replace") {
      req.replace = true;
    } else if (a == "--in-sandbox") {
      req.in_sandbox = true;
    } else if (a == "--browser" || a == "--origin" || a == "--extension-id" || a == "--host" || a == "--root") {
      const std::optional<std::string> v = value();
      if (!v) return usage_error(a + " needs a value");
      if (a == "--browser") {
        const std::optional<Browser> b = browser_from_key(*v);
        if (!b) return usage_error("unknown browser " + *v + "; say one of " + browser_keys());
        if (std::find(req.browsers.begin(), req.browsers.end(), *b) == req.browsers.end()) req.browsers.push_back(*b);
      } else if (a == "--origin") {
        const std::optional<std::string> origin = normalise_origin(*v);
        if (!origin) return usage_error(*v + " is not an extension origin like chrome-extension://<32 letters a-p>/");
        if (std::find(req.origins.begin(), req.origins.end(), *origin) == req.origins.end()) req.origins.push_back(*origin);
      } else if (a == "--extension-id") {
        if (!valid_firefox_id(*v)) return usage_error(*v + " is not a Firefox extension id like name@example.com");
        if (std::find(req.firefox_ids.begin(), req.firefox_ids.end(), *v) == req.firefox_ids.end()) {
          req.firefox_ids.push_back(*v);
        }
      } else if (a == "--host") {
        host = *v;
      } else {
        root = *v;
      }
    } else {
      return usage_error("unknown option " + a);
    }
  }
  if (req.all && !req.browsers.empty()) return usage_error("give either --all or --browser, not both");
  if (req.action != Action::remove) {
    for (const Browser b : req.browsers) {
      if (family(b) == Family::chromium && req.origins.empty()) {
        return usage_error(std::string(display_name(b)) + " needs the extensions it allows: give --origin");
      }
      if (family(b) == Family::firefox && req.firefox_ids.empty()) {
        return usage_error(std::string(display_name(b)) + " needs the extensions it allows: give --extension-id");
      }
    }
    if (req.origins.empty() && req.firefox_ids.empty()) {
      return usage_error("give the extensions allowed to connect: --origin and/or --extension-id");
    }
    req.host_path = host ? *host : default_host_path(root);
  }
  if (req.replace && req.action != Action::install) return usage_error("--replace goes with install");
  if (req.in_sandbox && req.action != Action::install) return usage_error("--in-sandbox goes with install");
  if (req.in_sandbox && req.scope == Scope::system) {
    return usage_error("--in-sandbox works for this user only: a sandbox sees its user's home, not system folders");
  }
  // A staging folder's files belong to the package made from it: no record of what was made.
  req.record = root.empty();
  // Each line is shown as it comes, so that a change is seen before it is made.
  const Outcome outcome = run_request(req, current_places(root), [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  return outcome.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing meant for a standard stream lands in a file opened later.
  if (!karvo::ensure_standard_descriptors()) return 1;
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (...) {
    std::fputs("karvo-register: out of memory\n", stderr);
    return 1;
  }
}
