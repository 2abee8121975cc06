// The checks of the browsers installed as regular programs: the manifest each reads, the host it names,
// the extensions it allows, and the policies that apply.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "files.h"
#include "checks_common.h"
#include "files.h"
#include "json.h"
#include "karvo_version.h"
#include "manifest.h"

namespace karvo::doctor {

using reg::Browser;
using reg::Family;

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
    r.note(std::string(reg::display_name(b)) + " is here but not registered; " +
           advice("if your extension runs there too, register it",
                  register_command("install", b, reg::Scope::user, wanted_for(b, o), places)));
  }
  return registered;
}

namespace {

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
    const std::optional<std::string> text = read_settings(file);
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
    const std::optional<std::string> text = read_settings(file);
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

// The folder that keeps a user from reading `path`: the first folder on the way that cannot be searched.
// "" when every folder can.
std::string closed_folder(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::access(dir.c_str(), X_OK) != 0 && errno == EACCES) return dir;
  }
  return {};
}

}  // namespace

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
    text = read_settings(candidate, &error);
    if (text) {
      path = candidate;
      break;
    }
    if (error == ENOENT) continue;
    const reg::Scope at = scope_of(b, candidate, places);
    const std::string anew = register_command("install", b, at, wanted, places, "--replace");
    std::error_code ec;
    if (error == EISDIR && !std::filesystem::is_empty(candidate, ec) && !ec) {
      // --replace takes only an empty folder away: what is in this one is not ours to delete.
      r.problem(name + ": " + candidate + " is a folder with something in it, where the manifest belongs; move it "
                "out of the way, then register again (" + anew + "): mv " + shell_word(candidate) + " " +
                shell_word(candidate + ".moved"));
    } else if (error == EISDIR) {
      r.problem(name + ": " + candidate + " is an empty folder, not a manifest; " +
                advice("put the manifest in its place", anew));
    } else if (error == EACCES) {
      // Read access that the file lacks, or a folder on the way that cannot be entered.
      const std::string folder = closed_folder(candidate);
      const std::string mode = at == reg::Scope::user ? (folder.empty() ? "u+r " : "u+rwx ")
                                                      : (folder.empty() ? "a+r " : "a+rx ");
      r.problem(name + ": cannot read " + candidate + (folder.empty() ? "" : " (the folder " + folder + " is closed)") +
                ": " + std::strerror(error) + "; the browser cannot either; open it" +
                (at == reg::Scope::user ? std::string() : std::string(" (as root)")) + ": chmod " + mode +
                shell_word(folder.empty() ? candidate : folder));
    } else if (error == EINVAL) {
      r.problem(name + ": " + candidate + " is not a file but a FIFO, a socket or a device; take it away, then "
                "register again: rm " + shell_word(candidate));
    } else if (error == EFBIG) {
      r.problem(name + ": " + candidate + " is larger than 1 MiB, which no manifest is; " + advice("write it anew", anew));
    } else {
      r.problem(name + ": cannot read " + candidate + ": " + std::strerror(error) + "; " + advice("write it anew", anew));
    }
    return std::nullopt;
  }
  if (!text) {
    r.problem(name + ": no manifest of " + std::string(reg::kHostName) + " (looked for " + join(search) + "); " +
              advice(register_scope == reg::Scope::system ? "register it (as root)" : "register it",
                     register_command("install", b, register_scope, wanted, places)));
    return std::nullopt;
  }
  const reg::Scope scope = scope_of(b, path, places);
  const reg::ManifestCheck m = reg::check_manifest(*text, reg::family(b));
  if (m.problem) {
    r.problem(name + ": manifest " + path + " is unusable: " + *m.problem + "; " +
              advice("write it anew", register_command("install", b, scope, wanted, places, "--replace")));
    return std::nullopt;
  }
  r.ok(name + ": manifest " + path);
  check_policies(b, policy, o, places, r);

  // A new host keeps every extension that the manifest allows, and those asked about.
  const std::optional<std::string> other_host = suggested_host(places);
  const std::string reregister =
      register_command("install", b, scope, merged(m.allowed, wanted), places,
                       "--host " + (other_host ? shell_word(*other_host) : std::string("HOST")));
  const std::string host = reg::under_root(places.root, m.host_path);
  struct stat st{};
  if (::stat(host.c_str(), &st) != 0) {
    r.problem(name + ": the manifest names " + host + ", which does not exist; install karvo-host there, or register "
              "another" + placeholder_hint(reregister) + ": " + reregister);
  } else if (!S_ISREG(st.st_mode)) {
    r.problem(name + ": the manifest names " + host + ", which is not a file, let alone karvo-host; register the "
              "right one" + placeholder_hint(reregister) + ": " + reregister);
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

namespace {

// A karvo-host is a few MiB; a file much larger is not one, and is not read.
constexpr std::size_t kMaxHostProgram = 64 * 1024 * 1024;

// The version that karvo-host carries in its program file ("@(#)karvo-host VERSION"); nothing when the
// file has no such mark, or is no program that size.
std::optional<std::string> host_version(const std::string& path) {
  constexpr std::string_view kMark = "@(#)karvo-host ";
  const std::optional<std::string> program = reg::read_text(path, nullptr, {}, kMaxHostProgram);
  if (!program) return std::nullopt;
  const std::size_t at = program->find(kMark);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t from = at + kMark.size();
  const std::size_t end = program->find('\0', from);
  if (end == std::string::npos || end - from > 64) return std::nullopt;
  return program->substr(from, end - from);
}

}  // namespace

void report_host_versions(const std::vector<std::string>& hosts, const reg::Places& places, Report& r) {
  for (const std::string& h : hosts) {
    const std::string host = reg::under_root(places.root, h);
    if (::access(host.c_str(), X_OK) != 0) continue;
    if (const std::optional<std::string> v = host_version(host)) {
      r.note("karvo-host " + host + " is version " + *v +
             (*v == KARVO_VERSION ? std::string() : " (this karvo-doctor is " KARVO_VERSION ")"));
    } else {
      r.note("karvo-host " + host + " carries no version mark: it is older than 0.1.0, or not karvo-host (or larger "
             "than 64 MiB, which no karvo-host is)");
    }
  }
}

}  // namespace karvo::doctor
