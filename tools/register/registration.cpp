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

// Groups the browsers by the manifest file they read, in table order.
std::vector<Target> targets_for(const std::vector<Browser>& browsers, Scope scope, const Places& places) {
  std::vector<Target> out;
  for (const Browser b : browsers) {
    const std::string path = manifest_path(b, scope, places);
    auto same = std::find_if(out.begin(), out.end(), [&](const Target& t) { return t.path == path; });
    if (same != out.end()) {
      same->browsers.push_back(b);
    } else {
      out.push_back({path, {b}});
    }
  }
  return out;
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
  if (!r.browsers.empty()) return r.browsers;
  std::vector<Browser> set;
  for (const Browser b : kAllBrowsers) {
    if (r.all || r.action == Action::remove || browser_found(b, places)) set.push_back(b);
  }
  if (r.action == Action::remove) return set;
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
    if (!existing && read_error != ENOENT) {
      out.lines.push_back("error: cannot read " + t.path + ": " + error_text(read_error, r.scope));
      out.ok = false;
      continue;
    }
    if (existing && !is_our_manifest(*existing)) {
      out.lines.push_back("error: left " + t.path + " alone: it is not a manifest of " + std::string(kHostName) +
                          "; move it away and run again");
      out.ok = false;
      continue;
    }
    if (r.dry_run) {
      out.lines.push_back("would write " + t.path + label(t, r.scope) + ":");
      indent_into(text, out);
      continue;
    }
    if (const int rc = write_text_atomically(t.path, text); rc != 0) {
      out.lines.push_back("error: cannot write " + t.path + ": " + error_text(rc, r.scope));
      out.ok = false;
      continue;
    }
    out.lines.push_back("wrote " + t.path + label(t, r.scope));
  }
}

void remove(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found_any = false;
  // A file that browsers outside the request read too stays, so that they keep working.
  const std::vector<Target> every = targets_for({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, r.scope, places);
  for (const Target& t : targets_for(browsers, r.scope, places)) {
    if (!exists_no_follow(t.path)) continue;
    found_any = true;
    std::vector<Browser> others;
    for (const Target& e : every) {
      if (e.path != t.path) continue;
      for (const Browser b : e.browsers) {
        if (!contains(browsers, b)) others.push_back(b);
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
  } else {
    remove(request, browsers, places, out);
  }
  add_sandbox_notes(request.browsers.empty() ? std::vector<Browser>(std::begin(kAllBrowsers), std::end(kAllBrowsers))
                                             : browsers,
                    places, out);
  return out;
}

}  // namespace karvo::reg
