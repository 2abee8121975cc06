// The checks of browsers installed as a Flatpak or a Snap, which reach karvo-host either through the
// desktop's native messaging proxy (judged as the proxy judges: the first valid manifest of its list)
// or, for a Flatpak, with a copy of the host inside the sandbox.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "checks_common.h"
#include "files.h"
#include "flatpak_override.h"
#include "manifest.h"

namespace karvo::doctor {
namespace {

using reg::Browser;
using reg::Family;

constexpr std::string_view kProxyName = "org.freedesktop.NativeMessagingProxy";

// What the session bus said about the proxy.
enum class ProxyState { unknown, present, absent };

ProxyState judge_proxy(const BusQuery& ask_bus, const reg::Places& places, Report& r) {
  const std::string proxy = "the desktop's native messaging proxy (" + std::string(kProxyName) + ")";
  std::string service_file;
  for (const std::string& d : xdg_data_dirs(places, "/dbus-1/services")) {
    if (reg::exists_no_follow(d + "/" + std::string(kProxyName) + ".service")) {
      service_file = d + "/" + std::string(kProxyName) + ".service";
      break;
    }
  }
  const BusName n = ask_bus(kProxyName);
  if (!n.asked) {
    r.note("could not ask the session bus whether " + proxy + " runs or can be started: " + n.why +
           (service_file.empty() ? std::string() : " (its service file " + service_file + " is here)") +
           "; to check the Flatpak and Snap browsers fully, run karvo-doctor in a terminal of your desktop session, "
           "as yourself (not through ssh, sudo or env -i)");
    return ProxyState::unknown;
  }
  if (n.has_owner) {
    r.ok(proxy + " runs on the session bus");
    return ProxyState::present;
  }
  if (n.activatable) {
    r.ok(proxy + " can be started by the session bus");
    return ProxyState::present;
  }
  r.note("the desktop has no native messaging proxy: nothing holds " + std::string(kProxyName) +
         " on the session bus, and the bus cannot start it (" +
         (service_file.empty() ? "it comes with xdg-native-messaging-proxy"
                               : "its service file " + service_file + " is here, but the bus has not read it: log "
                                 "out and in again") + ")");
  return ProxyState::absent;
}

// The browser and scope whose registration writes `path`, when one does.
std::optional<std::pair<Browser, reg::Scope>> owner_of(const std::string& path, Family fam, const reg::Places& places) {
  for (const Browser b : reg::kAllBrowsers) {
    if (reg::family(b) != fam) continue;
    for (const reg::Scope s : {reg::Scope::user, reg::Scope::system}) {
      if (reg::manifest_path(b, s, places) == path) return std::pair{b, s};
    }
  }
  return std::nullopt;
}

// The manifest that the proxy serves, judged as the browser then judges it.
struct Served {
  std::string path;                  // "" when the proxy finds none
  std::string hidden;                // a later manifest of ours in the proxy's list, which this one hides
  std::vector<std::string> allowed;  // what it allows
  std::string fault;                 // why the browser is refused, with what to do; "" when it is not
};

Served judge_served(Family fam, const std::vector<std::string>& wanted, const reg::Places& places) {
  Served out;
  out.path = reg::proxy_served_manifest(fam, places);
  if (out.path.empty()) return out;
  bool after = false;
  for (const std::string& dir : reg::proxy_manifest_dirs(fam, places)) {
    const std::string path = dir + "/" + std::string(reg::kHostName) + ".json";
    if (after && reg::exists_no_follow(path)) {
      out.hidden = path;
      break;
    }
    after = after || path == out.path;
  }
  const std::optional<std::string> text = read_settings(out.path);
  const reg::ManifestCheck m = reg::check_manifest(text.value_or(""), fam);
  out.allowed = m.allowed;
  const auto owner = owner_of(out.path, fam, places);
  auto fix = [&](std::string_view verb, const std::vector<std::string>& allowed, std::string_view extra) {
    if (!owner) {
      return "karvo-register writes no manifest there: correct it, or take it away: rm " + shell_word(out.path);
    }
    const std::string cmd = register_command(verb, owner->first, owner->second, allowed, places, extra);
    return advice(owner->second == reg::Scope::system ? "mend it (as root)" : "mend it", cmd);
  };
  if (m.problem) {
    out.fault = "which the browser refuses: " + *m.problem + "; " + fix("install", wanted, "--replace");
    return out;
  }
  const std::string host = reg::under_root(places.root, m.host_path);
  struct stat st{};
  if (::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(host.c_str(), X_OK) != 0) {
    const std::optional<std::string> other = suggested_host(places);
    out.fault = "whose host " + host + " is no executable file, so starting it fails; " +
                fix("install", merged(m.allowed, wanted),
                    "--host " + (other ? shell_word(*other) : std::string("HOST")));
    return out;
  }
  std::vector<std::string> missing;
  for (const std::string& w : wanted) {
    if (std::find(m.allowed.begin(), m.allowed.end(), w) == m.allowed.end()) missing.push_back(w);
  }
  if (!missing.empty()) {
    out.fault = "which does not allow " + join(missing) + " (it allows " + join(m.allowed) + "); " +
                fix("allow", missing, {});
  }
  return out;
}

// Whether the app's override file grants the host inside the sandbox read access to Karvo's data
// directory: the only place that judges the grant.
bool override_grants_data_dir(const std::string& override_file, const reg::Places& places) {
  return reg::override_grants(read_settings(override_file).value_or(""), reg::sandbox_grant(places));
}

// A manifest of ours at `path`, as the sandboxed browser reads it, that names an executable host (inside
// the sandbox, so not under the root) and allows what was asked for.
std::optional<std::string> usable_inside(const std::string& path, Family fam, const std::vector<std::string>& wanted) {
  const std::optional<std::string> text = read_settings(path);
  if (!text) return std::nullopt;
  const reg::ManifestCheck m = reg::check_manifest(*text, fam);
  if (m.problem || ::access(m.host_path.c_str(), X_OK) != 0) return std::nullopt;
  for (const std::string& w : wanted) {
    if (std::find(m.allowed.begin(), m.allowed.end(), w) == m.allowed.end()) return std::nullopt;
  }
  return m.host_path;
}

// One Flatpak or Snap browser: which of the two ways to reach karvo-host is set up, and the command that
// sets up the one that works here.
void check_sandboxed(const reg::SandboxedInstall& s, ProxyState proxy, const Options& o, const reg::Places& places,
                     Report& r) {
  const Browser b = s.browser;
  const Family fam = reg::family(b);
  const std::vector<std::string>& wanted = wanted_for(b, o);
  const std::string name = std::string(reg::display_name(b)) + " (" + s.kind + " " + s.app_id + ")";
  const bool flatpak = s.kind == "Flatpak";

  // The proxy way: the manifest the proxy serves, the host started outside the sandbox.
  const Served served = judge_served(fam, wanted, places);
  // The in-sandbox way: the manifest the sandboxed browser reads, the host it names inside the app's
  // folder, and the override that lets that host read Karvo's data directory.
  const std::string sandbox_manifest =
      flatpak ? reg::sandbox_manifest_dir(b, places) + "/" + std::string(reg::kHostName) + ".json" : std::string();
  const bool has_sandbox_manifest = flatpak && reg::exists_no_follow(sandbox_manifest);
  const std::optional<std::string> inside =
      has_sandbox_manifest ? usable_inside(sandbox_manifest, fam, wanted) : std::nullopt;
  const std::string override_file = flatpak ? reg::flatpak_override_path(b, places) : std::string();
  const bool granted = flatpak && override_grants_data_dir(override_file, places);
  const bool inside_works = inside && granted;
  // A fix keeps the extensions that a manifest of ours allows already.
  std::vector<std::string> keep = merged(wanted, served.allowed);
  if (has_sandbox_manifest) {
    if (const std::optional<std::string> text = read_settings(sandbox_manifest)) {
      keep = merged(keep, reg::check_manifest(*text, fam).allowed);
    }
  }
  const std::string in_sandbox_fix = register_command("install", b, reg::Scope::user, keep, places, "--in-sandbox");

  if (has_sandbox_manifest) {
    if (!inside) {
      r.problem(name + ": the manifest inside the sandbox, " + sandbox_manifest + ", names no executable host or "
                "does not allow your extension; " + advice("write it anew", in_sandbox_fix));
    } else if (!granted) {
      r.problem(name + ": the host inside the sandbox (" + *inside + ") cannot read Karvo's data directory " +
                reg::karvo_data_dir(places) + ": " + override_file + " does not grant " + reg::sandbox_grant(places) +
                ", so it finds no endpoint file and answers \"app-unavailable\"; " + advice("grant it", in_sandbox_fix));
    } else {
      r.ok(name + ": karvo-host inside the sandbox (" + *inside + "), with read access to " +
           reg::karvo_data_dir(places) + " (" + override_file + "); it cannot start Karvo from there: start Karvo "
           "yourself, or the extension gets \"app-unavailable\"");
    }
  }
  const std::string serves = "the native messaging proxy serves " + served.path +
                             (served.hidden.empty() ? std::string()
                                                    : " (the first manifest of its list, before " + served.hidden + ")");
  if (proxy == ProxyState::absent) {
    if (inside_works) {
      if (!served.path.empty()) r.note(name + ": " + served.path + " waits for a native messaging proxy, which is not here");
    } else if (!flatpak) {
      r.problem(name + ": it cannot reach karvo-host: the desktop has no native messaging proxy; use " +
                std::string(reg::display_name(b)) + " from a regular package");
    } else if (!has_sandbox_manifest) {  // else what the host inside lacks is said above
      r.problem(name + ": it cannot reach karvo-host: the desktop has no native messaging proxy, and the host is "
                "not inside its sandbox; " + advice("put it there", in_sandbox_fix));
    }
    return;
  }
  if (served.path.empty()) {
    if (inside_works) return;
    r.problem(name + ": no manifest of " + std::string(reg::kHostName) + " where the native messaging proxy looks (" +
              join(reg::proxy_manifest_dirs(fam, places)) + "); " +
              advice(proxy == ProxyState::unknown && flatpak
                         ? "register it (where the desktop has no native messaging proxy, add --in-sandbox)"
                         : "register it",
                     register_command("install", b, reg::Scope::user, keep, places)));
  } else if (!served.fault.empty()) {
    // The proxy gives the browser this file; nothing later in its list can help.
    r.problem(name + ": " + serves + ", " + served.fault);
  } else if (proxy == ProxyState::present) {
    r.ok(name + ": " + serves);
  } else {
    r.note(name + ": " + serves + ", which works once the proxy answers (see above)");
  }
}

}  // namespace

std::vector<Finding> check_sandboxed_browsers(const Options& options, const reg::Places& places,
                                              const BusQuery& ask_bus) {
  Report r;
  std::vector<reg::SandboxedInstall> sandboxed;
  for (const Browser b : options.browsers.empty() ? std::vector<Browser>(std::begin(reg::kAllBrowsers),
                                                                         std::end(reg::kAllBrowsers))
                                                  : options.browsers) {
    for (reg::SandboxedInstall& s : reg::sandboxed_installs(b, places)) sandboxed.push_back(std::move(s));
  }
  if (sandboxed.empty()) return {};
  const ProxyState proxy = judge_proxy(ask_bus, places, r);
  for (const reg::SandboxedInstall& s : sandboxed) check_sandboxed(s, proxy, options, places, r);
  return r.take();
}

}  // namespace karvo::doctor
