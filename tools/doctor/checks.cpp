#include "checks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "app_link.h"
#include "endpoint.h"
#include "executable_path.h"
#include "files.h"
#include "flatpak_override.h"
#include "json.h"
#include "karvo_version.h"
#include "launch_lock.h"
#include "launcher.h"
#include "manifest.h"
#include "socket_options.h"
#include "unique_fd.h"

namespace karvo::doctor {
namespace {

using reg::Browser;
using reg::Family;

constexpr std::chrono::milliseconds kProbeTimeout{800};

class Report {
 public:
  void ok(std::string text) { out_.push_back({Level::ok, std::move(text)}); }
  void note(std::string text) { out_.push_back({Level::note, std::move(text)}); }
  void problem(std::string text) { out_.push_back({Level::problem, std::move(text)}); }
  std::vector<Finding> take() { return std::move(out_); }

 private:
  std::vector<Finding> out_;
};

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// A word of a command as a POSIX shell reads it: quoted when it holds anything but plain characters.
std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./:@%+=,-").find(c) != std::string_view::npos;
  });
  if (plain) return text;
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> merged(std::vector<std::string> a, const std::vector<std::string>& b) {
  for (const std::string& x : b) {
    if (std::find(a.begin(), a.end(), x) == a.end()) a.push_back(x);
  }
  return a;
}

// A karvo-register command for one browser and scope that mends what was found. The extensions it
// names are `allowed` (a placeholder when there are none), and --root carries over, so that the
// command acts on the very files that were checked.
std::string register_command(std::string_view verb, Browser b, reg::Scope scope, const std::vector<std::string>& allowed,
                             const reg::Places& places, std::string_view extra = {}) {
  std::string cmd = "karvo-register " + std::string(verb) + " --browser " + std::string(reg::key(b));
  if (scope == reg::Scope::system) cmd += " --system";
  if (!places.root.empty()) cmd += " --root " + shell_word(places.root);
  const bool chromium = reg::family(b) == Family::chromium;
  if (allowed.empty()) {
    cmd += chromium ? " --origin chrome-extension://<extension id>/" : " --extension-id <extension id>";
  }
  for (const std::string& a : allowed) cmd += (chromium ? " --origin " : " --extension-id ") + shell_word(a);
  if (!extra.empty()) cmd += " " + std::string(extra);
  return cmd;
}

const std::vector<std::string>& wanted_for(Browser b, const Options& o) {
  return reg::family(b) == Family::chromium ? o.origins : o.firefox_ids;
}

// The scope of a manifest path that the search found.
reg::Scope scope_of(Browser b, const std::string& path, const reg::Places& places) {
  for (const std::string& dir : reg::manifest_dirs(b, reg::Scope::user, places)) {
    if (path.starts_with(dir + "/")) return reg::Scope::user;
  }
  return reg::Scope::system;
}

// The karvo-host to suggest when a manifest names none that works: the one beside this program, as
// the browsers will see it (without the root), when it is there.
std::optional<std::string> suggested_host(const reg::Places& places) {
  const std::optional<std::string> self = executable_path();
  if (!self) return std::nullopt;
  std::string host = self->substr(0, self->rfind('/') + 1) + "karvo-host";
  if (::access(host.c_str(), X_OK) != 0) return std::nullopt;
  if (places.root.empty()) return host;
  std::string root = places.root;
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (!host.starts_with(root + "/")) return std::nullopt;
  return host.substr(root.size());
}

// Browsers that the user registered for (a manifest of ours in the user's folders, or a system-wide
// one for a browser found here: a package registers every browser), or asked about. When there is
// none, the browsers found here, each of which then lacks its manifest. Every other browser found
// here gets a note, and no problem: the user may not want it.
std::vector<Browser> browsers_to_check(const Options& o, const reg::Places& places, Report& r) {
  if (!o.browsers.empty()) return o.browsers;
  std::vector<Browser> registered;
  std::vector<Browser> found;
  for (const Browser b : reg::kAllBrowsers) {
    const bool here = reg::browser_found(b, places);
    bool has_manifest = false;
    for (const std::string& path : reg::manifest_search_order(b, places)) {
      if (reg::exists_no_follow(path) && (here || scope_of(b, path, places) == reg::Scope::user)) has_manifest = true;
    }
    if (has_manifest) {
      registered.push_back(b);
    } else if (here) {
      found.push_back(b);
    }
  }
  if (registered.empty()) return found;
  for (const Browser b : found) {
    r.note(std::string(reg::display_name(b)) + " is here but not registered; if your extension runs there too: " +
           register_command("install", b, reg::Scope::user, wanted_for(b, o), places));
  }
  return registered;
}

// What the managed policies of a Chromium-based browser say about native messaging hosts.
struct HostPolicy {
  std::string blocked_by;      // the file whose block list names us or "*", unless the allow list names us
  std::string user_level_off;  // the file that turns off manifests in the user's folder
};

bool lists(const json::Value* list, std::string_view name) {
  const auto* items = list != nullptr ? list->get_if<json::Array>() : nullptr;
  if (items == nullptr) return false;
  return std::any_of(items->begin(), items->end(), [&](const json::Value& v) {
    const std::string* s = v.get_if<std::string>();
    return s != nullptr && *s == name;
  });
}

// Every JSON file in the folder counts, as the browser reads them; the old names of the lists too.
HostPolicy read_host_policy(const std::string& dir) {
  HostPolicy p;
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  bool allowed = false;
  std::string blocked_in;
  for (const std::string& file : files) {
    const std::optional<std::string> text = reg::read_text(file);
    const std::optional<json::Value> v = text ? json::parse(*text) : std::nullopt;
    if (!v || !v->is_object()) continue;
    for (const char* block : {"NativeMessagingBlocklist", "NativeMessagingBlacklist"}) {
      if (lists(v->find(block), "*") || lists(v->find(block), reg::kHostName)) blocked_in = file;
    }
    for (const char* allow : {"NativeMessagingAllowlist", "NativeMessagingWhitelist"}) {
      allowed |= lists(v->find(allow), reg::kHostName);
    }
    const json::Value* user_level = v->find("NativeMessagingUserLevelHosts");
    if (user_level != nullptr && user_level->get_if<bool>() != nullptr && !*user_level->get_if<bool>()) {
      p.user_level_off = file;
    }
  }
  if (!allowed) p.blocked_by = blocked_in;
  return p;
}

// Firefox's enterprise policies (policies.json) have no rule for native messaging hosts, but their
// ExtensionSettings can block the extension itself: by its id, or every extension ("*") that has no
// entry of its own.
void check_firefox_policies(const Options& o, const reg::Places& places, Report& r) {
  if (places.os != reg::Os::linux_os) return;
  for (const char* path : {"/etc/firefox/policies/policies.json", "/usr/lib/firefox/distribution/policies.json",
                           "/usr/lib/firefox-esr/distribution/policies.json"}) {
    const std::string file = reg::under_root(places.root, path);
    const std::optional<std::string> text = reg::read_text(file);
    const std::optional<json::Value> v = text ? json::parse(*text) : std::nullopt;
    const json::Value* policies = v && v->is_object() ? v->find("policies") : nullptr;
    const json::Value* settings = policies != nullptr && policies->is_object() ? policies->find("ExtensionSettings")
                                                                               : nullptr;
    if (settings == nullptr || !settings->is_object()) continue;
    auto blocked = [&](const json::Value* entry) {
      const json::Value* mode = entry != nullptr && entry->is_object() ? entry->find("installation_mode") : nullptr;
      const std::string* m = mode != nullptr ? mode->get_if<std::string>() : nullptr;
      return m != nullptr && *m == "blocked";
    };
    for (const std::string& id : o.firefox_ids) {
      const json::Value* own = settings->find(id);
      if (blocked(own) || (own == nullptr && blocked(settings->find("*")))) {
        r.problem("Firefox: the enterprise policy in " + file + " blocks the extension " + id +
                  " (ExtensionSettings); ask whoever manages Firefox to allow it");
      }
    }
  }
}

HostPolicy host_policy(Browser b, const reg::Places& places) {
  const std::string dir = reg::policy_dir(b, places);
  return dir.empty() ? HostPolicy{} : read_host_policy(dir);
}

void check_policies(Browser b, const HostPolicy& p, const Options& o, const reg::Places& places, Report& r) {
  if (b == Browser::firefox) check_firefox_policies(o, places, r);
  const std::string name(reg::display_name(b));
  if (!p.blocked_by.empty()) {
    r.problem(name + ": the policy in " + p.blocked_by + " blocks native messaging hosts (NativeMessagingBlocklist), "
              "and NativeMessagingAllowlist does not name " + std::string(reg::kHostName) + "; ask whoever manages " +
              name + " to add " + std::string(reg::kHostName) + " to NativeMessagingAllowlist");
  }
}

// Checks one browser's registration; gives the host that its manifest names (as the browser sees it)
// when the manifest is usable.
std::optional<std::string> check_browser(Browser b, const Options& o, const reg::Places& places, Report& r) {
  const std::string name(reg::display_name(b));
  std::vector<std::string> search = reg::manifest_search_order(b, places);
  const std::vector<std::string>& wanted = wanted_for(b, o);
  const HostPolicy policy = host_policy(b, places);
  reg::Scope register_scope = reg::Scope::user;
  if (!policy.user_level_off.empty()) {
    // The browser then reads only the system-wide manifests.
    std::erase_if(search, [&](const std::string& p) { return scope_of(b, p, places) == reg::Scope::user; });
    register_scope = reg::Scope::system;
    r.note(name + ": the policy in " + policy.user_level_off + " sets NativeMessagingUserLevelHosts to false: " + name +
           " ignores manifests in your home and reads only system-wide ones");
  }
  // The browser takes the first manifest it finds, the user's before the system-wide ones.
  std::optional<std::string> text;
  std::string path;
  for (const std::string& candidate : search) {
    int error = 0;
    text = reg::read_text(candidate, &error);
    if (text) {
      path = candidate;
      break;
    }
    if (error == EISDIR) {
      r.problem(name + ": " + candidate + " is a folder, not a manifest; put the manifest in its place (the folder "
                "must be empty): " + register_command("install", b, scope_of(b, candidate, places), wanted, places,
                                                      "--replace"));
      return std::nullopt;
    }
    if (error == EACCES) {
      r.problem(name + ": cannot read " + candidate + ": " + std::strerror(error) +
                "; the browser cannot either; let everyone read it: chmod 644 " + shell_word(candidate));
      return std::nullopt;
    }
    if (error != ENOENT) {
      r.problem(name + ": cannot read " + candidate + ": " + std::strerror(error) + "; write it anew: " +
                register_command("install", b, scope_of(b, candidate, places), wanted, places, "--replace"));
      return std::nullopt;
    }
  }
  if (!text) {
    r.problem(name + ": no manifest of " + std::string(reg::kHostName) + " (looked for " + join(search) +
              "); register it" + (register_scope == reg::Scope::system ? " (as root)" : "") + ": " +
              register_command("install", b, register_scope, wanted, places));
    return std::nullopt;
  }
  const reg::Scope scope = scope_of(b, path, places);
  const reg::ManifestCheck m = reg::check_manifest(*text, reg::family(b));
  if (m.problem) {
    r.problem(name + ": manifest " + path + " is unusable: " + *m.problem + "; write it anew: " +
              register_command("install", b, scope, wanted, places, "--replace"));
    return std::nullopt;
  }
  r.ok(name + ": manifest " + path);
  check_policies(b, policy, o, places, r);

  // A new host keeps every extension that the manifest allows, and those asked about.
  const std::optional<std::string> other_host = suggested_host(places);
  const std::string reregister =
      register_command("install", b, scope, merged(m.allowed, wanted), places,
                       "--host " + (other_host ? shell_word(*other_host) : "<where karvo-host is>"));
  const std::string host = reg::under_root(places.root, m.host_path);
  struct stat st{};
  if (::stat(host.c_str(), &st) != 0) {
    r.problem(name + ": the manifest names " + host + ", which does not exist; install karvo-host there, or register "
              "another: " + reregister);
  } else if (!S_ISREG(st.st_mode)) {
    r.problem(name + ": the manifest names " + host + ", which is not a file, let alone karvo-host; register the "
              "right one: " + reregister);
  } else if (::access(host.c_str(), X_OK) != 0) {
    r.problem(name + ": the manifest names " + host + ", which is not an executable file; make it executable: "
              "chmod 755 " + shell_word(host));
  } else {
    r.ok(name + ": host " + host + " is executable");
  }

  if (wanted.empty()) {
    r.note(name + ": allows " + join(m.allowed) + " (give " +
           (reg::family(b) == Family::chromium ? "--origin" : "--extension-id") + " to check for your extension)");
  }
  for (const std::string& w : wanted) {
    if (std::find(m.allowed.begin(), m.allowed.end(), w) != m.allowed.end()) {
      r.ok(name + ": allows " + w);
    } else {
      r.problem(name + ": " + w + " is not allowed to connect (" + path + " allows " + join(m.allowed) +
                "); allow it too: " + register_command("allow", b, scope, {w}, places));
    }
  }
  return m.host_path;
}

// The version that karvo-host carries in its program file ("@(#)karvo-host VERSION"); nothing when the
// file has no such mark.
std::optional<std::string> host_version(const std::string& path) {
  constexpr std::string_view kMark = "@(#)karvo-host ";
  const std::optional<std::string> program = reg::read_text(path);
  if (!program) return std::nullopt;
  const std::size_t at = program->find(kMark);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t from = at + kMark.size();
  const std::size_t end = program->find('\0', from);
  if (end == std::string::npos || end - from > 64) return std::nullopt;
  return program->substr(from, end - from);
}

void report_host_versions(const std::vector<std::string>& hosts, const reg::Places& places, Report& r) {
  for (const std::string& h : hosts) {
    const std::string host = reg::under_root(places.root, h);
    if (::access(host.c_str(), X_OK) != 0) continue;
    if (const std::optional<std::string> v = host_version(host)) {
      r.note("karvo-host " + host + " is version " + *v +
             (*v == KARVO_VERSION ? std::string() : " (this karvo-doctor is " KARVO_VERSION ")"));
    } else {
      r.note("karvo-host " + host + " carries no version mark: it is older than 0.1.0, or not karvo-host");
    }
  }
}

// Why an endpoint file that the host's reader refused is unusable. Never quotes the token.
std::string endpoint_problem(const std::string& text) {
  const std::optional<json::Value> v = json::parse(text);
  if (!v) return "it is not JSON text in UTF-8";
  if (!v->is_object()) return "it is not a JSON object";
  const json::Value* port = v->find("port");
  if (port == nullptr || port->get_if<std::uint64_t>() == nullptr) return "it has no \"port\" that is a whole number";
  if (const std::uint64_t n = *port->get_if<std::uint64_t>(); n < 1 || n > 65535) {
    return "its \"port\" " + std::to_string(n) + " is not a TCP port (1 to 65535)";
  }
  const json::Value* token = v->find("token");
  if (token == nullptr || token->get_if<std::string>() == nullptr) return "it has no \"token\" that is text";
  return "the host cannot use it";
}

// Whether anything accepts a TCP connection on 127.0.0.1:port within kProbeTimeout.
bool something_listens(std::uint16_t port) {
  UniqueFd fd = new_tcp_socket();
  if (!fd) return false;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  const auto deadline = std::chrono::steady_clock::now() + kProbeTimeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd.get(), POLLOUT, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    int error = 0;
    socklen_t len = sizeof error;
    return ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
}

// Checks that Karvo can be reached; true when it can.
bool check_application(Report& r) {
  const std::string dir = data_dir();
  const std::string ipc = dir + "/ipc.json";
  int error = 0;
  const std::optional<std::string> text = reg::read_text(ipc, &error);
  if (!text) {
    if (error == ENOENT) {
      r.problem("no endpoint file " + ipc + ": Karvo is not running, or has not said where it listens; start Karvo "
                "(an extension that sends \"launch\": true starts it)");
    } else if (error == EISDIR || error == EINVAL) {
      // Karvo cannot write its endpoint file while something else has its name.
      r.problem("the endpoint file " + ipc + " is " + (error == EISDIR ? "a folder" : "not a regular file") +
                ", so Karvo cannot write it there; remove it, then start Karvo: " + (error == EISDIR ? "rmdir " : "rm ") +
                shell_word(ipc));
    } else {
      r.problem("cannot read the endpoint file " + ipc + ": " + std::strerror(error) +
                "; it must be readable by you (quit Karvo, fix the permissions, start Karvo)");
    }
    return false;
  }
  const std::optional<IpcInfo> info = read_ipc_info();
  if (!info) {
    r.problem("endpoint file " + ipc + " is unusable: " + endpoint_problem(*text) +
              "; quit and restart Karvo so that it writes the file again");
    return false;
  }
  const std::string where = "127.0.0.1:" + std::to_string(info->port);
  r.ok("endpoint file " + ipc + " (port " + std::to_string(info->port) + ")");
  if (connect_app(*info)) {
    r.ok("Karvo accepts connections on " + where + " and the endpoint file's token");
    return true;
  }
  if (!something_listens(info->port)) {
    r.problem("nothing answers on " + where + ": Karvo is not running, or the endpoint file is left from an earlier "
              "run; start Karvo");
  } else {
    r.problem("the program on " + where + " did not accept the endpoint file's token (it refused it, or did not answer "
              "within 5 s): the file is out of date or another program holds the port; quit and restart Karvo");
  }
  return false;
}

// The desktop's data folders, $XDG_DATA_HOME first, then $XDG_DATA_DIRS (under the root), each with
// `sub` appended.
std::vector<std::string> xdg_data_dirs(const reg::Places& places, std::string_view sub) {
  std::vector<std::string> out;
  const char* data_home = std::getenv("XDG_DATA_HOME");
  out.push_back((data_home != nullptr && data_home[0] == '/' ? std::string(data_home) : places.home + "/.local/share") +
                std::string(sub));
  const char* data_dirs = std::getenv("XDG_DATA_DIRS");
  std::string_view dirs = data_dirs != nullptr && *data_dirs != '\0' ? data_dirs : "/usr/local/share:/usr/share";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string_view d = dirs.substr(0, colon);
    if (d.starts_with('/')) out.push_back(reg::under_root(places.root, std::string(d) + std::string(sub)));
    dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
  }
  return out;
}

// The folders in which the desktop looks for the entry com.karvo.app.desktop that karvo-open starts.
std::vector<std::string> desktop_entry_dirs(const reg::Places& places) { return xdg_data_dirs(places, "/applications"); }

// Whether a sandboxed browser's request can reach the desktop's native messaging proxy: a session bus,
// and the proxy's D-Bus service, which the bus starts on the first request.
struct ProxyService {
  bool usable = false;
  std::string why;      // what was found, or what is missing
  std::string missing;  // in short, when it cannot be used
};

ProxyService find_proxy_service(const reg::Places& places) {
  constexpr std::string_view kName = "org.freedesktop.NativeMessagingProxy";
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const bool bus = (address != nullptr && *address != '\0') ||
                   (runtime != nullptr && *runtime == '/' && reg::exists_no_follow(std::string(runtime) + "/bus"));
  if (!bus) {
    return {false, "there is no session bus here (DBUS_SESSION_BUS_ADDRESS is not set and there is no "
                   "$XDG_RUNTIME_DIR/bus), so no sandboxed browser can ask the desktop's native messaging proxy (" +
                       std::string(kName) + ") to start karvo-host",
            "there is no session bus"};
  }
  const std::vector<std::string> dirs = xdg_data_dirs(places, "/dbus-1/services");
  for (const std::string& d : dirs) {
    const std::string file = d + "/" + std::string(kName) + ".service";
    if (reg::exists_no_follow(file)) {
      return {true,
              "the desktop's native messaging proxy (" + std::string(kName) + ") can be started on the session bus (" +
                  file + ")",
              {}};
    }
  }
  return {false, "the desktop has no native messaging proxy: the session bus cannot start " + std::string(kName) +
                     " (no " + std::string(kName) + ".service in " + join(dirs) +
                     "; it comes with xdg-native-messaging-proxy)",
          "the desktop has no native messaging proxy"};
}

// A manifest of ours at `path` that names an executable host and allows what was asked for.
std::optional<std::string> usable_manifest(const std::string& path, Family fam, const std::vector<std::string>& wanted,
                                           const reg::Places& places, bool host_under_root = true) {
  const std::optional<std::string> text = reg::read_text(path);
  if (!text) return std::nullopt;
  const reg::ManifestCheck m = reg::check_manifest(*text, fam);
  if (m.problem) return std::nullopt;
  const std::string host = host_under_root ? reg::under_root(places.root, m.host_path) : m.host_path;
  if (::access(host.c_str(), X_OK) != 0) return std::nullopt;
  for (const std::string& w : wanted) {
    if (std::find(m.allowed.begin(), m.allowed.end(), w) == m.allowed.end()) return std::nullopt;
  }
  return m.host_path;
}

// A browser installed as a Flatpak or a Snap: which of the two ways to reach karvo-host is set up, and
// the command that sets up the one that works here.
void check_sandboxed(const reg::SandboxedInstall& s, const ProxyService& proxy, const Options& o,
                     const reg::Places& places, Report& r) {
  const Browser b = s.browser;
  const Family fam = reg::family(b);
  const std::vector<std::string>& wanted = wanted_for(b, o);
  const std::string name = std::string(reg::display_name(b)) + " (" + s.kind + " " + s.app_id + ")";
  const bool flatpak = s.kind == "Flatpak";

  // The proxy way: a manifest in the proxy's list, the host started outside the sandbox.
  std::string proxy_manifest;
  for (const std::string& dir : reg::proxy_manifest_dirs(fam, places)) {
    const std::string path = dir + "/" + std::string(reg::kHostName) + ".json";
    if (usable_manifest(path, fam, wanted, places)) {
      proxy_manifest = path;
      break;
    }
  }
  // The in-sandbox way: the manifest the sandboxed browser reads, the host it names inside the app's
  // folder, and the override that lets that host read Karvo's data directory.
  const std::string sandbox_manifest =
      flatpak ? reg::sandbox_manifest_dir(b, places) + "/" + std::string(reg::kHostName) + ".json" : std::string();
  const bool has_sandbox_manifest = flatpak && reg::exists_no_follow(sandbox_manifest);
  const std::optional<std::string> inside =
      has_sandbox_manifest ? usable_manifest(sandbox_manifest, fam, wanted, places, false) : std::nullopt;
  const std::string override_file = flatpak ? reg::flatpak_override_path(b, places) : std::string();
  const bool granted = flatpak && reg::override_grants(reg::read_text(override_file).value_or(""),
                                                       reg::sandbox_grant(places));
  // A fix keeps the extensions that a manifest of ours allows already.
  std::vector<std::string> keep = wanted;
  for (const std::string& path : {sandbox_manifest, proxy_manifest}) {
    const std::optional<std::string> text = path.empty() ? std::nullopt : reg::read_text(path);
    if (text) keep = merged(keep, reg::check_manifest(*text, fam).allowed);
  }
  const std::string in_sandbox_fix = register_command("install", b, reg::Scope::user, keep, places, "--in-sandbox");

  if (has_sandbox_manifest) {
    if (!inside) {
      r.problem(name + ": the manifest inside the sandbox, " + sandbox_manifest + ", names no executable host or "
                "does not allow your extension; write it anew: " + in_sandbox_fix);
    } else if (!granted) {
      r.problem(name + ": the host inside the sandbox (" + *inside + ") cannot read Karvo's data directory " +
                reg::karvo_data_dir(places) + ": " + override_file + " does not grant " + reg::sandbox_grant(places) +
                ", so it finds no endpoint file and answers \"app-unavailable\"; grant it: " + in_sandbox_fix);
    } else {
      r.ok(name + ": karvo-host inside the sandbox (" + *inside + "), with read access to " +
           reg::karvo_data_dir(places) + " (" + override_file + "); it cannot start Karvo from there: start Karvo "
           "yourself, or the extension gets \"app-unavailable\"");
    }
  }
  if (!proxy_manifest.empty()) {
    if (proxy.usable) {
      r.ok(name + ": manifest " + proxy_manifest + " is where the native messaging proxy looks");
    } else if (inside && granted) {
      r.note(name + ": manifest " + proxy_manifest + " waits for a native messaging proxy, which is not here");
    } else {
      r.problem(name + ": manifest " + proxy_manifest + " is where the native messaging proxy looks, but " + proxy.missing +
                (flatpak ? "; put the host inside the sandbox instead: " + in_sandbox_fix
                         : "; use " + std::string(reg::display_name(b)) + " from a regular package"));
    }
  } else if (!(inside && granted)) {
    const std::string fix = register_command("install", b, reg::Scope::user, keep, places);
    if (proxy.usable || !flatpak) {
      r.problem(name + ": no manifest of " + std::string(reg::kHostName) + " where the native messaging proxy looks (" +
                join(reg::proxy_manifest_dirs(fam, places)) + "); register it: " + fix);
    } else {
      r.problem(name + ": it cannot reach karvo-host: " + proxy.missing + ", and the host is not inside its sandbox; "
                "put it there: " + in_sandbox_fix);
    }
  }
}

// Whether a host started by a browser now could start Karvo: the first candidate that exists, as the
// host tries them, else the registered application. When nothing could start, hosts wait the full 20 s
// before answering "app-unavailable", so that is worth saying.
void check_launch(const std::vector<std::string>& hosts, const reg::Places& places, Report& r) {
  std::optional<std::string> hint;
  if (std::optional<IpcInfo> info = read_ipc_info()) hint = std::move(info->exe);
  std::vector<std::optional<std::string>> from(hosts.begin(), hosts.end());
  if (from.empty()) from.emplace_back();  // no usable manifest: the hint and the fixed places remain
  std::vector<std::string> tried;
  for (const std::optional<std::string>& host : from) {
    for (const std::string& candidate : launch_detail::launch_candidates(hint, host)) {
      if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
      tried.push_back(candidate);
      struct stat st{};
      if (::stat(reg::under_root(places.root, candidate).c_str(), &st) == 0) {
        r.note("a launch would start " + reg::under_root(places.root, candidate));
        return;
      }
    }
  }
  if (reg::this_os() == reg::Os::mac_os) {
    r.note("a launch would ask the system for the application " + std::string(launch_detail::kAppId) +
           " (no Karvo beside karvo-host, nor in /Applications)");
    return;
  }
  const std::string entry = std::string(launch_detail::kAppId) + ".desktop";
  const std::vector<std::string> dirs = desktop_entry_dirs(places);
  for (const std::string& d : dirs) {
    if (reg::exists_no_follow(d + "/" + entry)) {
      r.note("a launch would start Karvo through its desktop entry " + d + "/" + entry);
      return;
    }
  }
  std::string looked;
  for (const std::string& t : tried) looked += (looked.empty() ? "" : ", ") + reg::under_root(places.root, t);
  r.problem("a launch cannot start Karvo: nothing at " + looked + ", and no desktop entry " + entry + " in " +
            join(dirs) + "; hosts asked to start Karvo wait 20 s and then answer \"app-unavailable\"; install Karvo");
}

void check_launch_lock(Report& r) {
  const std::string lock = data_dir() + "/launch.lock";
  if (!reg::exists_no_follow(lock)) {
    r.ok("no launch under way (no " + lock + ")");
    return;
  }
  const std::optional<timespec> modified = launch_detail::lock_modified_time(lock);
  const timespec now = launch_detail::wall_clock_now();
  if (!launch_detail::lock_is_stale(modified, now)) {
    const long age = static_cast<long>(now.tv_sec - modified->tv_sec);
    r.note("launch lock " + lock + " taken " + std::to_string(age) + " s ago: a host is starting Karvo, and others "
           "wait for it (up to 20 s); nothing to do");
  } else if (!modified) {
    r.note("launch lock " + lock + " cannot be examined, so hosts count it as stale and replace it at the next "
           "launch; if launches keep failing, delete it");
  } else if (modified->tv_sec > now.tv_sec || (modified->tv_sec == now.tv_sec && modified->tv_nsec > now.tv_nsec)) {
    r.note("launch lock " + lock + " is dated in the future, so hosts count it as stale and replace it at the next "
           "launch; check the system clock");
  } else {
    const long age = static_cast<long>(now.tv_sec - modified->tv_sec);
    r.note("stale launch lock " + lock + " (taken " + std::to_string(age) + " s ago), left by a host that ended "
           "while starting Karvo; harmless: the next launch replaces it (or delete it)");
  }
}

}  // namespace

std::vector<Finding> run_checks(const Options& options, const reg::Places& places) {
  Report r;
  std::vector<reg::SandboxedInstall> sandboxed;
  for (const Browser b : options.browsers.empty() ? std::vector<Browser>(std::begin(reg::kAllBrowsers),
                                                                         std::end(reg::kAllBrowsers))
                                                  : options.browsers) {
    for (reg::SandboxedInstall& s : reg::sandboxed_installs(b, places)) sandboxed.push_back(std::move(s));
  }
  const std::vector<Browser> browsers = browsers_to_check(options, places, r);
  if (browsers.empty() && sandboxed.empty()) {
    r.problem("no supported browser found here (" + reg::browser_keys() + "); name yours with --browser");
  }
  std::vector<std::string> hosts;
  for (const Browser b : browsers) {
    if (std::optional<std::string> host = check_browser(b, options, places, r)) {
      if (std::find(hosts.begin(), hosts.end(), *host) == hosts.end()) hosts.push_back(std::move(*host));
    }
  }
  if (!sandboxed.empty()) {
    const ProxyService proxy = find_proxy_service(places);
    if (proxy.usable) {
      r.ok(proxy.why);
    } else {
      r.note(proxy.why);
    }
    for (const reg::SandboxedInstall& s : sandboxed) check_sandboxed(s, proxy, options, places, r);
  }
  report_host_versions(hosts, places, r);
  if (!check_application(r)) check_launch(hosts, places, r);
  check_launch_lock(r);
  return r.take();
}

std::string format(const Finding& f) {
  switch (f.level) {
    case Level::ok:
      return "ok: " + f.text;
    case Level::note:
      return "note: " + f.text;
    case Level::problem:
      return "problem: " + f.text;
  }
  return f.text;
}

}  // namespace karvo::doctor
