#include "registration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "files.h"
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

// Groups the browsers by the manifest file they read, in table order: the file that registration
// writes, or with `every_dir` every file of that scope that the browser reads.
std::vector<Target> targets_for(const std::vector<Browser>& browsers, Scope scope, const Places& places,
                                bool every_dir = false) {
  std::vector<Target> out;
  for (const Browser b : browsers) {
    std::vector<std::string> dirs = manifest_dirs(b, scope, places);
    if (!every_dir && !dirs.empty()) dirs.resize(1);
    for (const std::string& dir : dirs) {
      const std::string path = dir + "/" + std::string(kHostName) + ".json";
      auto same = std::find_if(out.begin(), out.end(), [&](const Target& t) { return t.path == path; });
      if (same != out.end()) {
        same->browsers.push_back(b);
      } else {
        out.push_back({path, {b}});
      }
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

void add_sandbox_notes(const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  for (const Browser b : browsers) {
    for (const SandboxedInstall& s : sandboxed_installs(b, places)) out.lines.push_back("note: " + s.advice);
  }
}

void indent_into(const std::string& text, Outcome& out) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out.lines.push_back("    " + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
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
        out.lines.push_back("skipped " + std::string(display_name(b)) + ": it has no " +
                            (r.scope == Scope::user ? "manifest folder" : "system-wide manifest folder") +
                            " on this system" + (r.scope == Scope::system ? "; register it for each user" : ""));
      }
      continue;
    }
    if (!r.browsers.empty() || r.all || r.action != Action::install || browser_found(b, places)) set.push_back(b);
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
      out.lines.push_back("skipped " + std::string(display_name(b)) + ": no " +
                          (family(b) == Family::chromium ? "--origin" : "--extension-id") + " given");
    }
  }
  return kept;
}

void install(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  const std::string host_on_disk = under_root(places.root, r.host_path);
  if (!r.host_path.starts_with('/')) {
    out.lines.push_back("error: the host path " + r.host_path + " is not absolute; browsers need a full path");
    out.ok = false;
    return;
  }
  struct stat st{};
  if (::stat(host_on_disk.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(host_on_disk.c_str(), X_OK) != 0) {
    out.lines.push_back("error: " + host_on_disk + " is not an executable file; build and install karvo-host, or "
                        "name it with --host");
    out.ok = false;
    return;
  }
  for (const Target& t : targets_for(browsers, r.scope, places)) {
    const Family fam = family(t.browsers.front());
    const std::string text =
        manifest_text(fam, r.host_path, fam == Family::chromium ? r.origins : r.firefox_ids);
    int read_error = 0;
    const std::optional<std::string> existing = read_text(t.path, &read_error);
    if (existing && *existing == text) {
      out.lines.push_back(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + t.path + label(t, r.scope));
      continue;
    }
    if (!existing && read_error != ENOENT && !(read_error == EISDIR && r.replace)) {
      out.lines.push_back("error: cannot read " + t.path + ": " + error_text(read_error, r.scope) +
                          (read_error == EISDIR ? "; run again with --replace to put the manifest in its place" : ""));
      out.ok = false;
      continue;
    }
    if (existing && !is_our_manifest(*existing) && !r.replace) {
      out.lines.push_back("error: left " + t.path + " alone: it is not a manifest of " + std::string(kHostName) +
                          "; move it away, or run again with --replace to overwrite it");
      out.ok = false;
      continue;
    }
    if (r.dry_run) {
      out.lines.push_back("would write " + t.path + label(t, r.scope) + ":");
      indent_into(text, out);
      continue;
    }
    if (const int rc = write_text_atomically(t.path, text, ownership_for(r.scope, places), r.replace); rc != 0) {
      out.lines.push_back("error: cannot write " + t.path + ": " + error_text(rc, r.scope));
      out.ok = false;
      continue;
    }
    out.lines.push_back("wrote " + t.path + label(t, r.scope));
  }
}

// allow and disallow: the manifests already registered get the extensions added or taken out; the host
// they name and the other extensions stay.
void change_allowed(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found_any = false;
  for (const Target& t : targets_for(browsers, r.scope, places, true)) {
    int read_error = 0;
    const std::optional<std::string> existing = read_text(t.path, &read_error);
    if (!existing && read_error == ENOENT) continue;
    found_any = true;
    if (!existing) {
      out.lines.push_back("error: cannot read " + t.path + ": " + error_text(read_error, r.scope));
      out.ok = false;
      continue;
    }
    const Family fam = family(t.browsers.front());
    const ManifestCheck m = check_manifest(*existing, fam);
    if (!is_our_manifest(*existing) || m.problem) {
      out.lines.push_back("error: cannot change " + t.path + ": " +
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
      out.lines.push_back(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + t.path + label(t, r.scope));
      continue;
    }
    if (allowed.empty()) {
      out.lines.push_back("error: left " + t.path + " as it is: no extension would be allowed; to end the "
                          "registration, use karvo-register remove");
      out.ok = false;
      continue;
    }
    const std::string text = manifest_text(fam, m.host_path, allowed);
    if (r.dry_run) {
      out.lines.push_back("would write " + t.path + label(t, r.scope) + ":");
      indent_into(text, out);
      continue;
    }
    if (const int rc = write_text_atomically(t.path, text, ownership_for(r.scope, places)); rc != 0) {
      out.lines.push_back("error: cannot write " + t.path + ": " + error_text(rc, r.scope));
      out.ok = false;
      continue;
    }
    std::string list;
    for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
    out.lines.push_back("wrote " + t.path + label(t, r.scope) + ", allowing " + list);
  }
  if (!found_any) {
    out.lines.push_back("error: no manifest of " + std::string(kHostName) + " " +
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
        if (!contains(browsers, b) && browser_found(b, places)) others.push_back(b);
      }
    }
    if (!others.empty()) {
      out.lines.push_back("left " + t.path + ": " + names(others) + " read" + (others.size() == 1 ? "s" : "") +
                          " it too; remove for " + (others.size() == 1 ? "that browser" : "those browsers") +
                          " as well to remove it");
      continue;
    }
    const std::optional<std::string> existing = read_text(t.path);
    if (!existing || !is_our_manifest(*existing)) {
      out.lines.push_back("left " + t.path + " alone: it is not a manifest of " + std::string(kHostName));
      continue;
    }
    if (r.dry_run) {
      out.lines.push_back("would remove " + t.path + label(t, r.scope));
      continue;
    }
    if (::unlink(t.path.c_str()) != 0 && errno != ENOENT) {
      out.lines.push_back("error: cannot remove " + t.path + ": " + error_text(errno, r.scope));
      out.ok = false;
      continue;
    }
    out.lines.push_back("removed " + t.path + label(t, r.scope));
    // The folders that registration made go too, so that nothing of ours makes an absent browser look
    // installed. rmdir takes only empty ones: whatever the browser keeps there stays.
    remove_empty_folders(parent_of(t.path), cleanup_stop(parent_of(t.path), r.scope, places));
  }
  if (!found_any) {
    out.lines.push_back("nothing to remove: no manifest of " + std::string(kHostName) + " " +
                        (r.scope == Scope::user ? "for this user" : "system-wide") + " for " + names(browsers));
  }
}

}  // namespace

Outcome run_request(const Request& request, const Places& places) {
  Outcome out;
  const std::vector<Browser> browsers = chosen_browsers(request, places, out);
  if (browsers.empty()) {
    out.lines.push_back(
        "error: no supported browser found for this request; name one with --browser, or use --all");
    out.ok = false;
    add_sandbox_notes({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, places, out);
    return out;
  }
  if (request.action == Action::install) {
    install(request, browsers, places, out);
  } else if (request.action == Action::remove) {
    remove(request, browsers, places, out);
  } else {
    change_allowed(request, browsers, places, out);
  }
  add_sandbox_notes(request.browsers.empty() ? std::vector<Browser>(std::begin(kAllBrowsers), std::end(kAllBrowsers))
                                             : browsers,
                    places, out);
  return out;
}

}  // namespace karvo::reg
