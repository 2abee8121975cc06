#include "browsers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <utility>

#include "files.h"
#include "json.h"

namespace karvo::reg {
namespace {

using Base = DirRow::Base;

// Where each browser looks for host manifests: in its profile folder (user), and in a fixed folder
// (system-wide). Every channel of Google Chrome, and Brave, read Chrome's system-wide folder; the
// channels of Microsoft Edge read Edge's. LibreWolf and Waterfox, built from Firefox, read a folder
// of their own in the home; Waterfox reads the system-wide folder that Firefox reads.
constexpr DirRow kDirs[] = {
    {Browser::chrome, Os::linux_os, Scope::user, Base::config_home, "google-chrome/NativeMessagingHosts"},
    {Browser::chrome, Os::linux_os, Scope::system, Base::root, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Google/Chrome/NativeMessagingHosts"},
    {Browser::chrome, Os::mac_os, Scope::system, Base::root, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::chromium, Os::linux_os, Scope::user, Base::config_home, "chromium/NativeMessagingHosts"},
    {Browser::chromium, Os::linux_os, Scope::system, Base::root, "/etc/chromium/native-messaging-hosts"},
    {Browser::chromium, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Chromium/NativeMessagingHosts"},
    {Browser::chromium, Os::mac_os, Scope::system, Base::root,
     "/Library/Application Support/Chromium/NativeMessagingHosts"},

    {Browser::edge, Os::linux_os, Scope::user, Base::config_home, "microsoft-edge/NativeMessagingHosts"},
    {Browser::edge, Os::linux_os, Scope::system, Base::root, "/etc/opt/edge/native-messaging-hosts"},
    {Browser::edge, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
    {Browser::edge, Os::mac_os, Scope::system, Base::root, "/Library/Microsoft/Edge/NativeMessagingHosts"},

    {Browser::brave, Os::linux_os, Scope::user, Base::config_home,
     "BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Os::linux_os, Scope::system, Base::root, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::brave, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Os::mac_os, Scope::system, Base::root, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::vivaldi, Os::linux_os, Scope::user, Base::config_home, "vivaldi/NativeMessagingHosts"},
    {Browser::vivaldi, Os::linux_os, Scope::system, Base::root, "/etc/opt/vivaldi/native-messaging-hosts"},
    {Browser::vivaldi, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Vivaldi/NativeMessagingHosts"},
    {Browser::vivaldi, Os::mac_os, Scope::system, Base::root,
     "/Library/Application Support/Vivaldi/NativeMessagingHosts"},

    {Browser::firefox, Os::linux_os, Scope::user, Base::home, ".mozilla/native-messaging-hosts"},
    {Browser::firefox, Os::linux_os, Scope::system, Base::mozilla_lib, "native-messaging-hosts"},
    {Browser::firefox, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Mozilla/NativeMessagingHosts"},
    {Browser::firefox, Os::mac_os, Scope::system, Base::root,
     "/Library/Application Support/Mozilla/NativeMessagingHosts"},

    {Browser::chrome_beta, Os::linux_os, Scope::user, Base::config_home, "google-chrome-beta/NativeMessagingHosts"},
    {Browser::chrome_beta, Os::linux_os, Scope::system, Base::root, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome_beta, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Google/Chrome Beta/NativeMessagingHosts"},
    {Browser::chrome_beta, Os::mac_os, Scope::system, Base::root, "/Library/Google/Chrome/NativeMessagingHosts"},
    {Browser::chrome_dev, Os::linux_os, Scope::user, Base::config_home, "google-chrome-unstable/NativeMessagingHosts"},
    {Browser::chrome_dev, Os::linux_os, Scope::system, Base::root, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome_dev, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Google/Chrome Dev/NativeMessagingHosts"},
    {Browser::chrome_dev, Os::mac_os, Scope::system, Base::root, "/Library/Google/Chrome/NativeMessagingHosts"},
    {Browser::chrome_canary, Os::linux_os, Scope::user, Base::config_home, "google-chrome-canary/NativeMessagingHosts"},
    {Browser::chrome_canary, Os::linux_os, Scope::system, Base::root, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome_canary, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Google/Chrome Canary/NativeMessagingHosts"},
    {Browser::chrome_canary, Os::mac_os, Scope::system, Base::root, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::edge_beta, Os::linux_os, Scope::user, Base::config_home, "microsoft-edge-beta/NativeMessagingHosts"},
    {Browser::edge_beta, Os::linux_os, Scope::system, Base::root, "/etc/opt/edge/native-messaging-hosts"},
    {Browser::edge_beta, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Microsoft Edge Beta/NativeMessagingHosts"},
    {Browser::edge_beta, Os::mac_os, Scope::system, Base::root, "/Library/Microsoft/Edge/NativeMessagingHosts"},
    {Browser::edge_dev, Os::linux_os, Scope::user, Base::config_home, "microsoft-edge-dev/NativeMessagingHosts"},
    {Browser::edge_dev, Os::linux_os, Scope::system, Base::root, "/etc/opt/edge/native-messaging-hosts"},
    {Browser::edge_dev, Os::mac_os, Scope::user, Base::home,
     "Library/Application Support/Microsoft Edge Dev/NativeMessagingHosts"},
    {Browser::edge_dev, Os::mac_os, Scope::system, Base::root, "/Library/Microsoft/Edge/NativeMessagingHosts"},

    // Linux only: where these forks keep their manifests elsewhere is not published.
    {Browser::librewolf, Os::linux_os, Scope::user, Base::home, ".librewolf/native-messaging-hosts"},
    {Browser::waterfox, Os::linux_os, Scope::user, Base::home, ".waterfox/native-messaging-hosts"},
    {Browser::waterfox, Os::linux_os, Scope::system, Base::mozilla_lib, "native-messaging-hosts"},
};

// What shows that a browser is installed (its program folder) or has been used (a file that the browser
// writes in its profile folder; registration's own folders sit there too, so the folder proves nothing).
struct SignRow {
  Browser browser;
  Os os;
  Base base;
  std::string_view path;
};
constexpr SignRow kSigns[] = {
    {Browser::chrome, Os::linux_os, Base::root, "/opt/google/chrome"},
    {Browser::chrome, Os::linux_os, Base::config_home, "google-chrome/Local State"},
    {Browser::chrome, Os::mac_os, Base::root, "/Applications/Google Chrome.app"},
    {Browser::chrome, Os::mac_os, Base::home, "Applications/Google Chrome.app"},
    {Browser::chrome, Os::mac_os, Base::home, "Library/Application Support/Google/Chrome/Local State"},

    {Browser::chromium, Os::linux_os, Base::root, "/usr/lib/chromium"},
    {Browser::chromium, Os::linux_os, Base::root, "/usr/lib64/chromium-browser"},
    {Browser::chromium, Os::linux_os, Base::root, "/usr/lib/chromium-browser"},
    {Browser::chromium, Os::linux_os, Base::config_home, "chromium/Local State"},
    {Browser::chromium, Os::mac_os, Base::root, "/Applications/Chromium.app"},
    {Browser::chromium, Os::mac_os, Base::home, "Applications/Chromium.app"},
    {Browser::chromium, Os::mac_os, Base::home, "Library/Application Support/Chromium/Local State"},

    {Browser::edge, Os::linux_os, Base::root, "/opt/microsoft/msedge"},
    {Browser::edge, Os::linux_os, Base::config_home, "microsoft-edge/Local State"},
    {Browser::edge, Os::mac_os, Base::root, "/Applications/Microsoft Edge.app"},
    {Browser::edge, Os::mac_os, Base::home, "Applications/Microsoft Edge.app"},
    {Browser::edge, Os::mac_os, Base::home, "Library/Application Support/Microsoft Edge/Local State"},

    {Browser::brave, Os::linux_os, Base::root, "/opt/brave.com/brave"},
    {Browser::brave, Os::linux_os, Base::config_home, "BraveSoftware/Brave-Browser/Local State"},
    {Browser::brave, Os::mac_os, Base::root, "/Applications/Brave Browser.app"},
    {Browser::brave, Os::mac_os, Base::home, "Applications/Brave Browser.app"},
    {Browser::brave, Os::mac_os, Base::home,
     "Library/Application Support/BraveSoftware/Brave-Browser/Local State"},

    {Browser::vivaldi, Os::linux_os, Base::root, "/opt/vivaldi"},
    {Browser::vivaldi, Os::linux_os, Base::config_home, "vivaldi/Local State"},
    {Browser::vivaldi, Os::mac_os, Base::root, "/Applications/Vivaldi.app"},
    {Browser::vivaldi, Os::mac_os, Base::home, "Applications/Vivaldi.app"},
    {Browser::vivaldi, Os::mac_os, Base::home, "Library/Application Support/Vivaldi/Local State"},

    {Browser::firefox, Os::linux_os, Base::root, "/usr/lib/firefox"},
    {Browser::firefox, Os::linux_os, Base::root, "/usr/lib/firefox-esr"},
    {Browser::firefox, Os::linux_os, Base::root, "/usr/lib64/firefox"},
    {Browser::firefox, Os::linux_os, Base::root, "/opt/firefox"},
    {Browser::firefox, Os::linux_os, Base::home, ".mozilla/firefox/profiles.ini"},
    {Browser::firefox, Os::mac_os, Base::root, "/Applications/Firefox.app"},
    {Browser::firefox, Os::mac_os, Base::home, "Applications/Firefox.app"},
    {Browser::firefox, Os::mac_os, Base::home, "Library/Application Support/Firefox/profiles.ini"},

    {Browser::chrome_beta, Os::linux_os, Base::root, "/opt/google/chrome-beta"},
    {Browser::chrome_beta, Os::linux_os, Base::config_home, "google-chrome-beta/Local State"},
    {Browser::chrome_beta, Os::mac_os, Base::root, "/Applications/Google Chrome Beta.app"},
    {Browser::chrome_beta, Os::mac_os, Base::home, "Library/Application Support/Google/Chrome Beta/Local State"},
    {Browser::chrome_dev, Os::linux_os, Base::root, "/opt/google/chrome-unstable"},
    {Browser::chrome_dev, Os::linux_os, Base::config_home, "google-chrome-unstable/Local State"},
    {Browser::chrome_dev, Os::mac_os, Base::root, "/Applications/Google Chrome Dev.app"},
    {Browser::chrome_dev, Os::mac_os, Base::home, "Library/Application Support/Google/Chrome Dev/Local State"},
    {Browser::chrome_canary, Os::linux_os, Base::root, "/opt/google/chrome-canary"},
    {Browser::chrome_canary, Os::linux_os, Base::config_home, "google-chrome-canary/Local State"},
    {Browser::chrome_canary, Os::mac_os, Base::root, "/Applications/Google Chrome Canary.app"},
    {Browser::chrome_canary, Os::mac_os, Base::home, "Library/Application Support/Google/Chrome Canary/Local State"},
    {Browser::edge_beta, Os::linux_os, Base::root, "/opt/microsoft/msedge-beta"},
    {Browser::edge_beta, Os::linux_os, Base::config_home, "microsoft-edge-beta/Local State"},
    {Browser::edge_beta, Os::mac_os, Base::root, "/Applications/Microsoft Edge Beta.app"},
    {Browser::edge_beta, Os::mac_os, Base::home, "Library/Application Support/Microsoft Edge Beta/Local State"},
    {Browser::edge_dev, Os::linux_os, Base::root, "/opt/microsoft/msedge-dev"},
    {Browser::edge_dev, Os::linux_os, Base::config_home, "microsoft-edge-dev/Local State"},
    {Browser::edge_dev, Os::mac_os, Base::root, "/Applications/Microsoft Edge Dev.app"},
    {Browser::edge_dev, Os::mac_os, Base::home, "Library/Application Support/Microsoft Edge Dev/Local State"},
    {Browser::librewolf, Os::linux_os, Base::root, "/usr/share/librewolf"},
    {Browser::librewolf, Os::linux_os, Base::root, "/usr/lib/librewolf"},
    {Browser::librewolf, Os::linux_os, Base::home, ".librewolf/profiles.ini"},
    {Browser::waterfox, Os::linux_os, Base::root, "/usr/lib/waterfox"},
    {Browser::waterfox, Os::linux_os, Base::root, "/opt/waterfox"},
    {Browser::waterfox, Os::linux_os, Base::home, ".waterfox/profiles.ini"},
};

struct BrowserRow {
  Browser browser;
  std::string_view key;
  std::string_view name;
  Family family;
  std::string_view flatpak_id;  // "" when none is published
  std::string_view snap_name;   // "" when none is published
};
constexpr BrowserRow kBrowsers[] = {
    {Browser::chrome, "chrome", "Google Chrome", Family::chromium, "com.google.Chrome", ""},
    {Browser::chromium, "chromium", "Chromium", Family::chromium, "org.chromium.Chromium", "chromium"},
    {Browser::edge, "edge", "Microsoft Edge", Family::chromium, "com.microsoft.Edge", ""},
    {Browser::brave, "brave", "Brave", Family::chromium, "com.brave.Browser", "brave"},
    {Browser::vivaldi, "vivaldi", "Vivaldi", Family::chromium, "com.vivaldi.Vivaldi", "vivaldi"},
    {Browser::firefox, "firefox", "Firefox", Family::firefox, "org.mozilla.firefox", "firefox"},
    {Browser::chrome_beta, "chrome-beta", "Google Chrome Beta", Family::chromium, "", ""},
    {Browser::chrome_dev, "chrome-dev", "Google Chrome Dev", Family::chromium, "", ""},
    {Browser::chrome_canary, "chrome-canary", "Google Chrome Canary", Family::chromium, "", ""},
    {Browser::edge_beta, "edge-beta", "Microsoft Edge Beta", Family::chromium, "", ""},
    {Browser::edge_dev, "edge-dev", "Microsoft Edge Dev", Family::chromium, "", ""},
    {Browser::librewolf, "librewolf", "LibreWolf", Family::firefox, "io.gitlab.librewolf-community", ""},
    {Browser::waterfox, "waterfox", "Waterfox", Family::firefox, "net.waterfox.waterfox", ""},
};

const BrowserRow& row(Browser b) {
  for (const BrowserRow& r : kBrowsers) {
    if (r.browser == b) return r;
  }
  return kBrowsers[0];  // unreachable: every enumerator has a row
}

std::string join(std::string_view dir, std::string_view rel) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/' && !rel.empty() && rel.front() != '/') out += '/';
  if (!out.empty() && out.back() == '/' && !rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  out += rel;
  return out;
}

std::string anchored(Base base, std::string_view path, const Places& places, Browser b = Browser::firefox) {
  switch (base) {
    case Base::home:
      return join(places.home, path);
    case Base::config_home:
      return join(places.config_home, path);
    case Base::root:
      return places.root.empty() ? std::string(path) : join(places.root, path);
    case Base::mozilla_lib:
      return join(firefox_system_folder(b, places), path);
  }
  return std::string(path);
}

std::string anchored(const DirRow& r, const Places& places) { return anchored(r.base, r.path, places, r.browser); }

bool is_dir(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// The password database's home of the real user ("" when there is none). The tools are single-threaded.
std::string passwd_home() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : std::string();
}

}  // namespace

Places current_places(std::string root) {
  Places p;
  p.root = std::move(root);
  const char* home = std::getenv("HOME");
  p.home = (home != nullptr && *home != '\0') ? std::string(home) : passwd_home();
  // Chromium-based browsers keep their profiles under $XDG_CONFIG_HOME when it is an absolute path.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  p.config_home = (xdg != nullptr && xdg[0] == '/') ? std::string(xdg) : join(p.home, ".config");
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') p.data_home = data;
  return p;
}

std::string firefox_system_folder(Browser b, const Places& places) {
  // Reading a library of some 200 MiB takes a moment: once per root and browser is enough.
  static std::map<std::pair<std::string, Browser>, std::string> known;
  const auto at = known.find({places.root, b});
  if (at != known.end()) return at->second;
  const std::string lib64 = anchored(Base::root, "/usr/lib64/mozilla", places);
  const std::string lib = anchored(Base::root, "/usr/lib/mozilla", places);
  std::optional<bool> reads_lib64;
  const std::string_view program = b == Browser::waterfox ? "waterfox" : "firefox";
  for (const std::string_view dir : {"/usr/lib64/", "/usr/lib/", "/opt/"}) {
    for (const std::string_view suffix : {"", "-esr"}) {
      const std::string library =
          anchored(Base::root, std::string(dir) + std::string(program) + std::string(suffix) + "/libxul.so", places);
      reads_lib64 = file_contains(library, std::string_view("/usr/lib64/mozilla\0", 19), std::size_t{1} << 30);
      if (reads_lib64) break;
    }
    if (reads_lib64) break;
  }
  if (!reads_lib64) {
    struct stat st{};
    const std::string usr_lib64 = anchored(Base::root, "/usr/lib64", places);
    reads_lib64 = ::lstat(usr_lib64.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && exists(usr_lib64 + "/libc.so.6");
  }
  return known[{places.root, b}] = *reads_lib64 ? lib64 : lib;
}

std::string_view key(Browser b) { return row(b).key; }

std::string policy_dir(Browser b, const Places& places) {
  if (places.os != Os::linux_os) return {};
  std::string_view dir;
  switch (b) {
    case Browser::chrome:
    case Browser::chrome_beta:
    case Browser::chrome_dev:
    case Browser::chrome_canary:
      dir = "/etc/opt/chrome/policies/managed";
      break;
    case Browser::chromium:
      dir = "/etc/chromium/policies/managed";
      break;
    case Browser::edge:
    case Browser::edge_beta:
    case Browser::edge_dev:
      dir = "/etc/opt/edge/policies/managed";
      break;
    case Browser::brave:
      dir = "/etc/brave/policies/managed";
      break;
    case Browser::vivaldi:
    case Browser::firefox:
    case Browser::librewolf:
    case Browser::waterfox:
      return {};
  }
  return anchored(Base::root, dir, places);
}

std::string browser_keys() {
  std::string out;
  for (const BrowserRow& r : kBrowsers) out += (out.empty() ? "" : ", ") + std::string(r.key);
  return out;
}
std::string_view display_name(Browser b) { return row(b).name; }
Family family(Browser b) { return row(b).family; }

std::optional<Browser> browser_from_key(std::string_view k) {
  for (const BrowserRow& r : kBrowsers) {
    if (r.key == k) return r.browser;
  }
  return std::nullopt;
}

std::string_view scope_text(Scope s) { return s == Scope::user ? "this user" : "system-wide"; }

std::span<const DirRow> dir_table() { return kDirs; }

std::string manifest_dir(Browser b, Scope s, const Places& places) {
  for (const DirRow& r : kDirs) {
    if (r.browser == b && r.os == places.os && r.scope == s && !r.read_only) return anchored(r, places);
  }
  return {};  // a browser of another system, or no known system-wide folder
}

std::vector<std::string> manifest_dirs(Browser b, Scope s, const Places& places) {
  std::vector<std::string> out;
  if (std::string dir = manifest_dir(b, s, places); !dir.empty()) out.push_back(std::move(dir));
  for (const DirRow& r : kDirs) {
    if (r.browser == b && r.os == places.os && r.scope == s && r.read_only) out.push_back(anchored(r, places));
  }
  return out;
}

std::string manifest_path(Browser b, Scope s, const Places& places) {
  const std::string dir = manifest_dir(b, s, places);
  return dir.empty() ? dir : join(dir, std::string(kHostName) + ".json");
}

std::vector<std::string> manifest_search_order(Browser b, const Places& places) {
  std::vector<std::string> out;
  for (const Scope s : {Scope::user, Scope::system}) {
    for (const std::string& dir : manifest_dirs(b, s, places)) out.push_back(join(dir, std::string(kHostName) + ".json"));
  }
  return out;
}

bool browser_found(Browser b, const Places& places) {
  for (const SignRow& s : kSigns) {
    if (s.browser == b && s.os == places.os && exists(anchored(s.base, s.path, places))) return true;
  }
  return false;
}

std::optional<SandboxedInstall> flatpak_install(Browser b, const Places& places) {
  if (places.os != Os::linux_os) return std::nullopt;
  const BrowserRow& r = row(b);
  if (r.flatpak_id.empty()) return std::nullopt;
  const std::string id(r.flatpak_id);
  const std::string name(r.name);
  const std::string data_home = places.data_home.empty() ? join(places.home, ".local/share") : places.data_home;
  // Installed for this user or system-wide, or run here (the sandbox's own folder).
  for (const std::string& where : {join(data_home, "flatpak/app/" + id), anchored(Base::root, "/var/lib/flatpak/app/" + id, places),
                                   anchored(Base::home, ".var/app/" + id, places)}) {
    if (!is_dir(where)) continue;
    return SandboxedInstall{b, "Flatpak", id, where,
                            name + " installed as a Flatpak (" + id + ") reaches karvo-host through the desktop's "
                            "native messaging proxy; where the desktop has none, register with --in-sandbox "
                            "(karvo-doctor says which works here)"};
  }
  return std::nullopt;
}

std::vector<SandboxedInstall> sandboxed_installs(Browser b, const Places& places) {
  std::vector<SandboxedInstall> out;
  if (places.os != Os::linux_os) return out;
  if (std::optional<SandboxedInstall> f = flatpak_install(b, places)) out.push_back(std::move(*f));
  const BrowserRow& r = row(b);
  if (r.snap_name.empty()) return out;
  const std::string snap(r.snap_name);
  const std::string name(r.name);
  for (const std::string& where : {anchored(Base::root, "/snap/" + snap, places), anchored(Base::home, "snap/" + snap, places)}) {
    if (!is_dir(where)) continue;
    // A snap's confinement lets nothing from the home be run inside it, so only the proxy (or, for
    // Firefox, the desktop's WebExtensions portal, which reads the same ~/.mozilla folder) can help.
    out.push_back({b, "Snap", snap, where,
                   name + " installed as a Snap reaches karvo-host only through the desktop (its native messaging "
                   "proxy" +
                       std::string(family(b) == Family::firefox ? ", or the WebExtensions portal" : "") +
                       "); where that fails, use " + name + " from a regular package"});
    break;
  }
  return out;
}

std::string proxy_manifest_dir(Family f, Scope s, const Places& places) {
  return manifest_dir(f == Family::chromium ? Browser::chromium : Browser::firefox, s, places);
}

std::vector<std::string> proxy_manifest_dirs(Family f, const Places& places) {
  if (places.os != Os::linux_os) return {};
  if (f == Family::chromium) {
    return {manifest_dir(Browser::chrome, Scope::user, places), manifest_dir(Browser::chromium, Scope::user, places),
            manifest_dir(Browser::chrome, Scope::system, places), manifest_dir(Browser::chromium, Scope::system, places)};
  }
  std::vector<std::string> out = {
      join(places.home, ".mozilla/native-messaging-hosts"), join(places.config_home, "mozilla/native-messaging-hosts"),
      anchored(Base::root, "/usr/lib/mozilla/native-messaging-hosts", places),
      anchored(Base::root, "/usr/lib64/mozilla/native-messaging-hosts", places)};
  // The proxy's own library folder comes last: Debian's build puts it in the multiarch folder.
  if (constexpr std::string_view multiarch = KARVO_MULTIARCH; !multiarch.empty()) {
    out.push_back(anchored(Base::root, "/usr/lib/" + std::string(multiarch) + "/mozilla/native-messaging-hosts", places));
  }
  return out;
}

std::string proxy_served_manifest(Family f, const Places& places) {
  for (const std::string& dir : proxy_manifest_dirs(f, places)) {
    const std::string path = join(dir, std::string(kHostName) + ".json");
    const std::optional<std::string> text = read_text(path);
    const std::optional<json::Value> v = text ? json::parse(*text) : std::nullopt;
    if (!v || !v->is_object()) continue;
    auto text_of = [&](std::string_view key) -> std::string {
      const json::Value* value = v->find(key);
      const std::string* s = value != nullptr ? value->get_if<std::string>() : nullptr;
      return s != nullptr ? *s : std::string();
    };
    if (text_of("name") == kHostName && text_of("type") == "stdio" && text_of("path").starts_with('/')) return path;
  }
  return {};
}

std::string flatpak_app_dir(Browser b, const Places& places) {
  const BrowserRow& r = row(b);
  if (places.os != Os::linux_os || r.flatpak_id.empty()) return {};
  return join(places.home, ".var/app/" + std::string(r.flatpak_id));
}

// Inside the sandbox the browser's configuration home is <app dir>/config, and its home-relative
// folders (Firefox's) lie in the app folder itself.
std::string sandbox_manifest_dir(Browser b, const Places& places) {
  const std::string app = flatpak_app_dir(b, places);
  if (app.empty()) return {};
  for (const DirRow& r : kDirs) {
    if (r.browser != b || r.os != Os::linux_os || r.scope != Scope::user || r.read_only) continue;
    return r.base == Base::config_home ? join(app, "config/" + std::string(r.path)) : join(app, r.path);
  }
  return {};
}

std::string sandbox_host_path(Browser b, const Places& places) {
  const std::string app = flatpak_app_dir(b, places);
  return app.empty() ? app : join(app, std::string(kHostName) + "/karvo-host");
}

std::string flatpak_override_path(Browser b, const Places& places) {
  const BrowserRow& r = row(b);
  if (places.os != Os::linux_os || r.flatpak_id.empty()) return {};
  const std::string data_home = places.data_home.empty() ? join(places.home, ".local/share") : places.data_home;
  return join(data_home, "flatpak/overrides/" + std::string(r.flatpak_id));
}

std::string karvo_data_dir(const Places& places) { return join(places.home, "Library/Application Support/com.karvo.app"); }

std::string sandbox_grant(const Places&) { return "~/Library/Application Support/com.karvo.app:ro"; }

}  // namespace karvo::reg
