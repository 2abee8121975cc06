#include "registration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "files.h"
#include "flatpak_override.h"
#include "manifest.h"

namespace karvo::reg {
namespace {

// One manifest file and the browsers that read it (Brave reads Google Chrome's system-wide folder).
struct Target {
  std::string path;
  std::vector<Browser> browsers;
};

bool contains(const std::vector<Browser>& set, Browser b) { return std::find(set.begin(), set.end(), b) != set.end(); }

std::string names(const std::vector<Browser>& browsers) {
  std::string out;
  for (const Browser b : browsers) {
    if (!out.empty()) out += ", ";
    out += display_name(b);
  }
  return out;
}

std::string label(const Target& t, Scope scope) {
  return " (" + names(t.browsers) + ", " + std::string(scope_text(scope)) + ")";
}

void add_target(std::vector<Target>& out, const std::string& dir, Browser b) {
  const std::string path = dir + "/" + std::string(kHostName) + ".json";
  auto same = std::find_if(out.begin(), out.end(), [&](const Target& t) { return t.path == path; });
  if (same == out.end()) {
    out.push_back({path, {b}});
  } else if (!contains(same->browsers, b)) {
    same->browsers.push_back(b);
  }
}

// Groups the browsers by the manifest file they read, in table order: the file that registration
// writes, or with `every_dir` every file of that scope that the browser reads. A browser installed as a
// Flatpak or a Snap also gets the file where the desktop's native messaging proxy looks; one that is
// here only so (`sandbox_only`) gets nothing else.
std::vector<Target> targets_for(const std::vector<Browser>& browsers, Scope scope, const Places& places,
                                bool every_dir = false, const std::vector<Browser>& sandbox_only = {}) {
  std::vector<Target> out;
  for (const Browser b : browsers) {
    std::vector<std::string> dirs = contains(sandbox_only, b) ? std::vector<std::string>{}
                                                              : manifest_dirs(b, scope, places);
    if (!every_dir && !dirs.empty()) dirs.resize(1);
    for (const std::string& dir : dirs) add_target(out, dir, b);
    if (!sandboxed_installs(b, places).empty()) {
      if (std::string dir = proxy_manifest_dir(family(b), scope, places); !dir.empty()) add_target(out, dir, b);
    }
  }
  return out;
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The folder above which removal takes no empty folder away: the home (or the configuration home
// when it lies elsewhere) for a user's manifests; for system-wide ones the first two levels of the
// folder's path (/etc/opt, /usr/lib, /Library/Google), which belong to the system.
std::string cleanup_stop(const std::string& dir, Scope scope, const Places& places) {
  if (scope == Scope::user) return dir.starts_with(places.home + "/") ? places.home : places.config_home;
  std::string base = places.root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string rel = dir.substr(base.size());
  const std::size_t first = rel.find('/', 1);
  const std::size_t second = first == std::string::npos ? first : rel.find('/', first + 1);
  return base + rel.substr(0, second);
}

Ownership ownership_for(Scope scope, const Places& places) {
  return scope == Scope::user ? home_ownership(places.home) : Ownership{};
}

std::string error_text(int error, Scope scope) {
  std::string text = std::strerror(error);
  if (scope == Scope::system && (error == EACCES || error == EPERM || error == EROFS)) {
    text += " (system-wide registration needs root)";
  }
  return text;
}

void add_sandbox_notes(const std::vector<Browser>& browsers, const Places& places, bool in_sandbox, Outcome& out) {
  for (const Browser b : browsers) {
    for (const SandboxedInstall& s : sandboxed_installs(b, places)) {
      if (!(in_sandbox && s.kind == "Flatpak")) out.say("note: " + s.advice);
    }
  }
}

void indent_into(const std::string& text, Outcome& out) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out.say("    " + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// The native messaging proxy serves the first valid manifest of its list: when that is another file than
// the one registration writes for it, and says something else, the sandboxed browsers get that one.
void note_proxy_shadow(const std::vector<Browser>& browsers, Scope scope, const Places& places, Outcome& out) {
  for (const Family f : {Family::chromium, Family::firefox}) {
    if (std::none_of(browsers.begin(), browsers.end(),
                     [&](Browser b) { return family(b) == f && !sandboxed_installs(b, places).empty(); })) {
      continue;
    }
    const std::string served = proxy_served_manifest(f, places);
    const std::string ours = proxy_manifest_dir(f, scope, places) + "/" + std::string(kHostName) + ".json";
    if (served.empty() || served == ours || read_text(served) == read_text(ours)) continue;
    out.say("note: the native messaging proxy gives Flatpak and Snap browsers " + served + ", which it reads before " +
            ours + ": its host and extensions are the ones that count for them (karvo-doctor checks it)");
  }
}

// The browsers the request is about, with notes for the ones left out.
std::vector<Browser> chosen_browsers(const Request& r, const Places& places, Outcome& out) {
  std::vector<Browser> set;
  for (const Browser b : r.browsers.empty() ? std::vector<Browser>(std::begin(kAllBrowsers), std::end(kAllBrowsers))
                                            : r.browsers) {
    if (manifest_dir(b, r.scope, places).empty()) {
      // Only a browser asked for by name is worth a word.
      if (!r.browsers.empty()) {
        out.say("skipped " + std::string(display_name(b)) + ": it has no " +
                            (r.scope == Scope::user ? "manifest folder" : "system-wide manifest folder") +
                            " on this system" + (r.scope == Scope::system ? "; register it for each user" : ""));
      }
      continue;
    }
    if (!r.browsers.empty() || r.all || r.action != Action::install || browser_found(b, places) ||
        !sandboxed_installs(b, places).empty()) {
      set.push_back(b);
    }
  }
  if (!r.browsers.empty()) return set;
  if (r.action != Action::install) return set;
  // An install for browsers that were not named skips those whose extensions were not given.
  std::vector<Browser> kept;
  for (const Browser b : set) {
    const bool has_allowed = family(b) == Family::chromium ? !r.origins.empty() : !r.firefox_ids.empty();
    if (has_allowed) {
      kept.push_back(b);
    } else {
      out.say("skipped " + std::string(display_name(b)) + ": no " +
                          (family(b) == Family::chromium ? "--origin" : "--extension-id") + " given");
    }
  }
  return kept;
}

// Writes our manifest at `path` naming `host`, unless a file that is not ours is there.
void write_manifest(const Request& r, const std::string& path, const std::string& what, Family fam,
                    const std::string& host, const Places& places, Outcome& out) {
  const std::string text = manifest_text(fam, host, fam == Family::chromium ? r.origins : r.firefox_ids);
  int read_error = 0;
  const std::optional<std::string> existing = read_text(path, &read_error);
  if (existing && *existing == text) {
    out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + path + what);
    return;
  }
  if (!existing && read_error != ENOENT && !(read_error == EISDIR && r.replace)) {
    out.say("error: cannot read " + path + ": " + error_text(read_error, r.scope) +
            (read_error == EISDIR ? "; run again with --replace to put the manifest in its place" : ""));
    out.ok = false;
    return;
  }
  if (existing && !is_our_manifest(*existing) && !r.replace) {
    out.say("error: left " + path + " alone: it is not a manifest of " + std::string(kHostName) +
            "; move it away, or run again with --replace to overwrite it");
    out.ok = false;
    return;
  }
  if (r.dry_run) {
    out.say("would write " + path + what + ":");
    indent_into(text, out);
    return;
  }
  if (const int rc = write_text_atomically(path, text, ownership_for(r.scope, places), r.replace); rc != 0) {
    out.say("error: cannot write " + path + ": " + error_text(rc, r.scope));
    out.ok = false;
    return;
  }
  out.say("wrote " + path + what);
}

// Each change is announced before it is made, so that whoever runs this sees what touched the sandbox
// even when a step fails.
bool announce(const Request& r, Outcome& out, const std::string& change) {
  out.say((r.dry_run ? "would " : "") + change);
  return !r.dry_run;
}

void install_in_sandbox(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  const std::string host_on_disk = under_root(places.root, r.host_path);
  for (const Browser b : browsers) {
    const std::string name(display_name(b));
    const std::optional<SandboxedInstall> flatpak = flatpak_install(b, places);
    if (!flatpak) {
      if (!r.browsers.empty()) out.say("skipped " + name + " for --in-sandbox: no Flatpak of it here");
      continue;
    }
    const Ownership own = home_ownership(places.home);
    // 1. The host, copied where the sandbox sees it at the same path.
    const std::string copy = sandbox_host_path(b, places);
    const std::optional<std::string> program = read_text(host_on_disk);
    if (!program) {
      out.say("error: cannot read " + host_on_disk + " to copy it into " + name + "'s sandbox");
      out.ok = false;
      continue;
    }
    if (read_text(copy) == program) {
      out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + copy);
    } else if (announce(r, out, "copy " + host_on_disk + " into " + name + "'s sandbox: " + copy)) {
      if (const int rc = write_text_atomically(copy, *program, own, false, 0755); rc != 0) {
        out.say("error: cannot write " + copy + ": " + std::strerror(rc));
        out.ok = false;
        continue;
      }
    }
    // 2. The manifest where the sandboxed browser reads it, naming the copy.
    write_manifest(r, sandbox_manifest_dir(b, places) + "/" + std::string(kHostName) + ".json",
                   " (" + name + " inside its Flatpak sandbox)", family(b), copy, places, out);
    // 3. Read access to Karvo's data directory, and nothing else, for this one app.
    const std::string file = flatpak_override_path(b, places);
    int error = 0;
    const std::optional<std::string> text = read_text(file, &error);
    if (!text && error != ENOENT) {
      out.say("error: cannot read " + file + ": " + std::strerror(error));
      out.ok = false;
      continue;
    }
    const std::string grant = sandbox_grant(places);
    const std::string updated = override_with(text.value_or(""), grant);
    if (text && updated == *text) {
      out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + file + " (grants " + grant + ")");
    } else if (announce(r, out, "grant " + flatpak->app_id + " read access to " + karvo_data_dir(places) + ": add " +
                                    grant + " to the filesystems of " + file +
                                    " (what flatpak override --user --filesystem=" + "'" + grant + "'" + " " +
                                    flatpak->app_id + " does)")) {
      if (const int rc = write_text_atomically(file, updated, own); rc != 0) {
        out.say("error: cannot write " + file + ": " + std::strerror(rc));
        out.ok = false;
        continue;
      }
    }
  }
}

// Takes away what install_in_sandbox made: the override's entry, the manifest, the copy of the host.
bool remove_in_sandbox(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found = false;
  for (const Browser b : browsers) {
    const std::string app = flatpak_app_dir(b, places);
    if (app.empty()) continue;
    const std::string name(display_name(b));
    const std::string file = flatpak_override_path(b, places);
    const std::string grant = sandbox_grant(places);
    if (const std::optional<std::string> text = read_text(file); text && override_grants(*text, grant)) {
      found = true;
      const std::string rest = override_without(*text, grant);
      if (announce(r, out, "take back the read access to " + karvo_data_dir(places) + ": remove " + grant +
                               " from " + file + (rest.empty() ? " (nothing else is left in it: it goes)" : ""))) {
        const int rc = rest.empty() ? (::unlink(file.c_str()) == 0 ? 0 : errno)
                                    : write_text_atomically(file, rest, home_ownership(places.home));
        if (rc != 0) {
          out.say("error: cannot change " + file + ": " + std::strerror(rc));
          out.ok = false;
        } else if (rest.empty()) {
          remove_empty_folders(parent_of(file), places.home);
        }
      }
    }
    const std::string manifest = sandbox_manifest_dir(b, places) + "/" + std::string(kHostName) + ".json";
    if (const std::optional<std::string> text = read_text(manifest); text && is_our_manifest(*text)) {
      found = true;
      if (announce(r, out, "remove " + manifest + " (" + name + " inside its Flatpak sandbox)")) {
        if (::unlink(manifest.c_str()) != 0 && errno != ENOENT) {
          out.say("error: cannot remove " + manifest + ": " + std::strerror(errno));
          out.ok = false;
        } else {
          remove_empty_folders(parent_of(manifest), app);
        }
      }
    }
    const std::string copy = sandbox_host_path(b, places);
    if (!exists_no_follow(copy)) continue;
    found = true;
    if (announce(r, out, "remove " + copy + " (karvo-host inside " + name + "'s sandbox)")) {
      if (::unlink(copy.c_str()) != 0 && errno != ENOENT) {
        out.say("error: cannot remove " + copy + ": " + std::strerror(errno));
        out.ok = false;
      } else {
        remove_empty_folders(parent_of(copy), app);
      }
    }
  }
  return found;
}

void install(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  const std::string host_on_disk = under_root(places.root, r.host_path);
  if (!r.host_path.starts_with('/')) {
    out.say("error: the host path " + r.host_path + " is not absolute; browsers need a full path");
    out.ok = false;
    return;
  }
  struct stat st{};
  if (::stat(host_on_disk.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(host_on_disk.c_str(), X_OK) != 0) {
    out.say("error: " + host_on_disk + " is not an executable file; build and install karvo-host, or "
                        "name it with --host");
    out.ok = false;
    return;
  }
  std::vector<Browser> sandbox_only;
  for (const Browser b : browsers) {
    if (r.browsers.empty() && !r.all && !browser_found(b, places)) sandbox_only.push_back(b);
  }
  for (const Target& t : targets_for(browsers, r.scope, places, false, sandbox_only)) {
    write_manifest(r, t.path, label(t, r.scope), family(t.browsers.front()), r.host_path, places, out);
  }
  if (r.in_sandbox) install_in_sandbox(r, browsers, places, out);
}

// allow and disallow: the manifests already registered get the extensions added or taken out; the host
// they name and the other extensions stay.
void change_allowed(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found_any = false;
  std::vector<Target> targets = targets_for(browsers, r.scope, places, true);
  for (const Browser b : browsers) {
    // The manifest inside a Flatpak's sandbox allows the same extensions.
    const std::string dir = sandbox_manifest_dir(b, places);
    if (r.scope == Scope::user && !dir.empty()) add_target(targets, dir, b);
  }
  for (const Target& t : targets) {
    int read_error = 0;
    const std::optional<std::string> existing = read_text(t.path, &read_error);
    if (!existing && read_error == ENOENT) continue;
    found_any = true;
    if (!existing) {
      out.say("error: cannot read " + t.path + ": " + error_text(read_error, r.scope));
      out.ok = false;
      continue;
    }
    const Family fam = family(t.browsers.front());
    const ManifestCheck m = check_manifest(*existing, fam);
    if (!is_our_manifest(*existing) || m.problem) {
      out.say("error: cannot change " + t.path + ": " +
                          (m.problem ? *m.problem : "it is not a manifest of " + std::string(kHostName)) +
                          "; write it anew with karvo-register install --replace");
      out.ok = false;
      continue;
    }
    const std::vector<std::string>& given = fam == Family::chromium ? r.origins : r.firefox_ids;
    if (given.empty()) continue;
    std::vector<std::string> allowed = m.allowed;
    for (const std::string& g : given) {
      const auto at = std::find(allowed.begin(), allowed.end(), g);
      if (r.action == Action::allow && at == allowed.end()) allowed.push_back(g);
      if (r.action == Action::disallow && at != allowed.end()) allowed.erase(at);
    }
    if (allowed == m.allowed) {
      out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + t.path + label(t, r.scope));
      continue;
    }
    if (allowed.empty()) {
      out.say("error: left " + t.path + " as it is: no extension would be allowed; to end the "
                          "registration, use karvo-register remove");
      out.ok = false;
      continue;
    }
    const std::string text = manifest_text(fam, m.host_path, allowed);
    if (r.dry_run) {
      out.say("would write " + t.path + label(t, r.scope) + ":");
      indent_into(text, out);
      continue;
    }
    if (const int rc = write_text_atomically(t.path, text, ownership_for(r.scope, places)); rc != 0) {
      out.say("error: cannot write " + t.path + ": " + error_text(rc, r.scope));
      out.ok = false;
      continue;
    }
    std::string list;
    for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
    out.say("wrote " + t.path + label(t, r.scope) + ", allowing " + list);
  }
  if (!found_any) {
    out.say("error: no manifest of " + std::string(kHostName) + " " +
                        (r.scope == Scope::user ? "for this user" : "system-wide") + " for " + names(browsers) +
                        "; register first with karvo-register install");
    out.ok = false;
  }
}

void remove(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found_any = false;
  // A file that browsers outside the request, installed here, read too stays, so that they keep working.
  const std::vector<Target> every =
      targets_for({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, r.scope, places, true);
  for (const Target& t : targets_for(browsers, r.scope, places, true)) {
    if (!exists_no_follow(t.path)) continue;
    found_any = true;
    std::vector<Browser> others;
    for (const Target& e : every) {
      if (e.path != t.path) continue;
      for (const Browser b : e.browsers) {
        if (!contains(browsers, b) && (browser_found(b, places) || !sandboxed_installs(b, places).empty())) {
          others.push_back(b);
        }
      }
    }
    if (!others.empty()) {
      out.say("left " + t.path + ": " + names(others) + " read" + (others.size() == 1 ? "s" : "") +
                          " it too; remove for " + (others.size() == 1 ? "that browser" : "those browsers") +
                          " as well to remove it");
      continue;
    }
    const std::optional<std::string> existing = read_text(t.path);
    if (!existing || !is_our_manifest(*existing)) {
      out.say("left " + t.path + " alone: it is not a manifest of " + std::string(kHostName));
      continue;
    }
    if (r.dry_run) {
      out.say("would remove " + t.path + label(t, r.scope));
      continue;
    }
    if (::unlink(t.path.c_str()) != 0 && errno != ENOENT) {
      out.say("error: cannot remove " + t.path + ": " + error_text(errno, r.scope));
      out.ok = false;
      continue;
    }
    out.say("removed " + t.path + label(t, r.scope));
    // The folders that registration made go too, so that nothing of ours makes an absent browser look
    // installed. rmdir takes only empty ones: whatever the browser keeps there stays.
    remove_empty_folders(parent_of(t.path), cleanup_stop(parent_of(t.path), r.scope, places));
  }
  if (r.scope == Scope::user && remove_in_sandbox(r, browsers, places, out)) found_any = true;
  if (!found_any) {
    out.say("nothing to remove: no manifest of " + std::string(kHostName) + " " +
                        (r.scope == Scope::user ? "for this user" : "system-wide") + " for " + names(browsers));
  }
}

}  // namespace

Outcome run_request(const Request& request, const Places& places, std::function<void(const std::string&)> print) {
  Outcome out;
  out.print = std::move(print);
  const std::vector<Browser> browsers = chosen_browsers(request, places, out);
  if (browsers.empty()) {
    out.say(
        "error: no supported browser found for this request; name one with --browser, or use --all");
    out.ok = false;
    add_sandbox_notes({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, places, false, out);
    return out;
  }
  if (request.action == Action::install) {
    install(request, browsers, places, out);
  } else if (request.action == Action::remove) {
    remove(request, browsers, places, out);
  } else {
    change_allowed(request, browsers, places, out);
  }
  if (!request.dry_run) note_proxy_shadow(browsers, request.scope, places, out);
  // Once, where it helps: after an install. allow, disallow and remove change nothing about the way in.
  if (request.action != Action::install) return out;
  add_sandbox_notes(request.browsers.empty() ? std::vector<Browser>(std::begin(kAllBrowsers), std::end(kAllBrowsers))
                                             : browsers,
                    places, request.in_sandbox && request.action == Action::install, out);
  return out;
}

}  // namespace karvo::reg
