// The browsers that can start karvo-host, and where each looks for native messaging host manifests on
// Linux and macOS, per user and system-wide. Everything here is computed from one table and a
// `Places` value, so the answers for either system can be had (and tested) on both.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::reg {

// The name under which karvo-host is registered with every browser; the manifest file is this name
// with ".json".
inline constexpr std::string_view kHostName = "com.karvo.bridge";
inline constexpr std::string_view kHostDescription = "Karvo browser bridge";

enum class Os { linux_os, mac_os };
enum class Scope { user, system };
enum class Family { chromium, firefox };  // decides the manifest's list of allowed extensions
// Release channels of a browser keep their own profile folder, and so their own user manifests.
enum class Browser {
  chrome, chromium, edge, brave, vivaldi, firefox,
  chrome_beta, chrome_dev, chrome_canary, edge_beta, edge_dev, librewolf, waterfox
};

inline constexpr Browser kAllBrowsers[] = {
    Browser::chrome,      Browser::chromium,   Browser::edge,          Browser::brave,
    Browser::vivaldi,     Browser::firefox,    Browser::chrome_beta,   Browser::chrome_dev,
    Browser::chrome_canary, Browser::edge_beta, Browser::edge_dev,     Browser::librewolf,
    Browser::waterfox};

// "chrome, chromium, ..., waterfox": the keys that --browser takes.
std::string browser_keys();

// The system this program was built for.
constexpr Os this_os() {
#ifdef __APPLE__
  return Os::mac_os;
#else
  return Os::linux_os;
#endif
}

// Where the paths of the table are anchored.
struct Places {
  Os os = this_os();
  std::string root;         // "" for the real "/", else a folder that stands for it
  std::string home;         // the user's home directory
  std::string config_home;  // Linux: $XDG_CONFIG_HOME when absolute, else <home>/.config
  std::string data_home;    // Linux: $XDG_DATA_HOME when absolute; "" means <home>/.local/share
};

// Places for this process: $HOME (else the password database), $XDG_CONFIG_HOME, $XDG_DATA_HOME and `root`.
Places current_places(std::string root = {});

std::string_view key(Browser b);           // "chrome", "chromium", "edge", "brave", "vivaldi", "firefox"
std::string_view display_name(Browser b);  // "Google Chrome", "Chromium", ...
Family family(Browser b);
std::optional<Browser> browser_from_key(std::string_view key);
std::string_view scope_text(Scope s);      // "this user", "system-wide"

// The folder in which browser `b` looks for host manifests of scope `s`. The system folders are
// prefixed with places.root. "" when the browser has no such folder on that system (a browser for
// Linux only, or one whose system-wide folder is not known).
std::string manifest_dir(Browser b, Scope s, const Places& places);
// manifest_dir + "/com.karvo.bridge.json".
std::string manifest_path(Browser b, Scope s, const Places& places);

// Every folder of scope `s` in which browser `b` looks: manifest_dir first, then the ones it reads
// but registration does not write.
std::vector<std::string> manifest_dirs(Browser b, Scope s, const Places& places);

// Firefox (and Waterfox, built from it) reads one system-wide folder, chosen when it was built:
// "/usr/lib64/mozilla" or "/usr/lib/mozilla" (under places.root). The installed program's library
// names the one it reads; without one, the system's layout tells (the C library in a real /usr/lib64,
// as on Fedora and openSUSE, means lib64). Worked out once per root.
std::string firefox_system_folder(Browser b, const Places& places);

// The manifests that browser `b` reads, in the order it tries them (the user's first).
std::vector<std::string> manifest_search_order(Browser b, const Places& places);

// True when the browser seems to be installed, or to have been used by this user: its program folder
// exists, or a file that only the browser itself writes in its profile folder ("Local State",
// "profiles.ini"). A folder that registration created never counts.
bool browser_found(Browser b, const Places& places);

// A copy of the browser installed as a Flatpak or a Snap, which cannot start karvo-host as a regular
// install does. `advice` says what works there.
struct SandboxedInstall {
  Browser browser;
  std::string kind;    // "Flatpak" or "Snap"
  std::string app_id;  // the Flatpak application id, or the snap's name
  std::string where;   // the folder that gave it away
  std::string advice;
};
std::vector<SandboxedInstall> sandboxed_installs(Browser b, const Places& places);
// The Flatpak of `b`, when one is installed or has been run here.
std::optional<SandboxedInstall> flatpak_install(Browser b, const Places& places);

// Two ways reach Karvo from a sandboxed browser.
//
// The desktop's native messaging proxy (xdg-native-messaging-proxy, D-Bus name
// org.freedesktop.NativeMessagingProxy) starts the host outside the sandbox, for any caller and any
// origin the caller names; it reads manifests from a narrower list than the browsers: Google Chrome's
// and Chromium's folders for the whole Chromium family, Firefox's for the Firefox family. This is the
// folder of that list that registration writes.
std::string proxy_manifest_dir(Family f, Scope s, const Places& places);
// Every folder of that list, in the proxy's order (the user's first).
std::vector<std::string> proxy_manifest_dirs(Family f, const Places& places);
// The manifest that the proxy serves for family `f`: the first file of its list that it can read, that
// is JSON and that names com.karvo.bridge, "stdio" and an absolute path. The proxy checks nothing more
// (neither the host nor the extensions allowed: the browser checks those). "" when there is none.
std::string proxy_served_manifest(Family f, const Places& places);

// Where no proxy runs, the host runs inside a Flatpak's sandbox: a copy of karvo-host in the app's own
// folder (~/.var/app/<id>, which the sandbox sees at the same path), a manifest in the folder the
// sandboxed browser reads, and read access to Karvo's data directory granted by a per-user override.
std::string flatpak_app_dir(Browser b, const Places& places);         // "" without a Flatpak id
std::string sandbox_manifest_dir(Browser b, const Places& places);    // "" without a Flatpak id
std::string sandbox_host_path(Browser b, const Places& places);       // <app dir>/com.karvo.bridge/karvo-host
std::string flatpak_override_path(Browser b, const Places& places);   // <data home>/flatpak/overrides/<id>
// Karvo's data directory in the user's home, as karvo-host finds it.
std::string karvo_data_dir(const Places& places);
// The override's filesystem entry for it: read-only, relative to the home ("~/Library/...:ro").
std::string sandbox_grant(const Places& places);

// The folder of mandatory policies (JSON files) that browser `b` reads on Linux, with places.root;
// "" when it has none that is known, and on macOS, where policies are managed preferences.
std::string policy_dir(Browser b, const Places& places);

// The rows of the path table, for the tests.
struct DirRow {
  Browser browser;
  Os os;
  Scope scope;
  // mozilla_lib: Firefox's system-wide folder, /usr/lib64/mozilla or /usr/lib/mozilla as the installed
  // build reads (firefox_system_folder).
  enum class Base { home, config_home, root, mozilla_lib } base;
  std::string_view path;  // relative to the base (for root: absolute)
  bool read_only = false;  // the browser reads this folder too; registration writes the first row
};
std::span<const DirRow> dir_table();

}  // namespace karvo::reg
