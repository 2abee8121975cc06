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
#include "home_owner.h"
#include "install_record.h"
#include "manifest.h"
#include "package_config.h"

namespace karvo::reg {
namespace {

// One manifest file and the browsers that read it (Brave reads Google Chrome's system-wide folder).
// Some reach it only through the desktop's native messaging proxy (a Flatpak or Snap browser); the
// manifest inside a Flatpak's sandbox is read by that browser alone.
struct Target {
  std::string path;
  std::vector<Browser> browsers;
  std::vector<Browser> proxied;  // those of `browsers` that reach it only through the proxy
  bool in_sandbox = false;
};

enum class Reach { direct, proxy, sandbox };

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
  if (t.in_sandbox) return " (" + names(t.browsers) + " inside its Flatpak sandbox)";
  std::vector<Browser> direct;
  for (const Browser b : t.browsers) {
    if (!contains(t.proxied, b)) direct.push_back(b);
  }
  std::string who = names(direct);
  if (!t.proxied.empty()) {
    who += (who.empty() ? "" : ", and ") + names(t.proxied) + " through the native messaging proxy";
  }
  return " (" + who + ", " + std::string(scope_text(scope)) + ")";
}

void add_target(std::vector<Target>& out, const std::string& dir, Browser b, Reach reach = Reach::direct) {
  const std::string path = dir + "/" + std::string(kHostName) + ".json";
  auto same = std::find_if(out.begin(), out.end(), [&](const Target& t) { return t.path == path; });
  if (same == out.end()) {
    out.push_back({path, {b}, {}, reach == Reach::sandbox});
    same = std::prev(out.end());
    if (reach == Reach::proxy) same->proxied.push_back(b);
    return;
  }
  if (!contains(same->browsers, b)) {
    same->browsers.push_back(b);
    if (reach == Reach::proxy) same->proxied.push_back(b);
  } else if (reach == Reach::direct) {
    // A browser installed both ways reads the file itself.
    std::erase(same->proxied, b);
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
      if (std::string dir = proxy_manifest_dir(family(b), scope, places); !dir.empty()) {
        add_target(out, dir, b, Reach::proxy);
      }
    }
  }
  return out;
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

Ownership ownership_for(Scope scope, const Places& places) {
  return scope == Scope::user ? home_ownership() : system_ownership(places.root);
}

// System-wide files are reached from the root folder, following no link below it (see files.h).
std::string anchor_for(Scope scope, const Places& places) { return ownership_for(scope, places).anchor; }

// Every file that registration may write in this scope: the manifests in every folder that a browser
// reads, and for a user the files of the host inside each Flatpak's sandbox.
std::vector<std::string> known_files(Scope scope, const Places& places) {
  std::vector<std::string> out;
  for (const Target& t : targets_for({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, scope, places, true)) {
    out.push_back(t.path);
  }
  if (scope == Scope::user) {
    for (const Browser b : kAllBrowsers) {
      if (flatpak_app_dir(b, places).empty()) continue;
      out.push_back(sandbox_manifest_dir(b, places) + "/" + std::string(kHostName) + ".json");
      out.push_back(sandbox_host_path(b, places));
      out.push_back(flatpak_override_path(b, places));
    }
  }
  return out;
}

// Notes beside `file` what was made for it: the folders `made` now, and those above it that another
// registration made (whichever is removed last takes them back), whether the file is new, and whether
// an override's entry was added.
void record_made(const Request& r, const Places& places, const std::string& file, const std::vector<std::string>& made,
                 bool made_file, OverrideAddition added, Outcome& out) {
  if (!r.record) return;
  const Ownership own = ownership_for(r.scope, places);
  InstallRecord record = read_record(file, own.anchor).value_or(InstallRecord{});
  add_folders(record, made);
  const std::string dir = parent_of(file);
  for (const std::string& other : known_files(r.scope, places)) {
    if (other == file) continue;
    const std::optional<InstallRecord> theirs = read_record(other, own.anchor);
    if (!theirs) continue;
    for (const std::string& f : theirs->folders) {
      if (dir == f || dir.starts_with(f + "/")) add_folders(record, {f});
    }
  }
  record.made_file = record.made_file || made_file;
  if (added != OverrideAddition::none) record.added_entry = addition_name(added);
  if (const int rc = write_record(file, record, own); rc != 0) {
    out.say("warning: cannot write " + record_path(file) + ": " + std::strerror(rc) +
            "; remove will leave the folders made for " + file);
  }
}

// The permission bits of the file at `path`, to keep them when it is rewritten; `otherwise` when none is there.
mode_t mode_of(const std::string& path, mode_t otherwise) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<mode_t>(st.st_mode & 07777) : otherwise;
}

// After `file` went: its record goes too, and the folders made for it that are empty now.
void take_back_made(const std::string& file, const std::string& anchor) {
  const std::optional<InstallRecord> record = read_record(file, anchor);
  if (!record) return;
  remove_file(record_path(file), anchor);
  remove_recorded_folders(*record, anchor);
}

std::string error_text(int error, Scope scope) {
  std::string text = std::strerror(error);
  if (scope == Scope::system && (error == EACCES || error == EPERM || error == EROFS)) {
    text += " (system-wide registration needs root)";
  }
  if (scope == Scope::system && (error == ELOOP || error == ENOTDIR)) {
    text += " (a symbolic link or a file stands where a folder should; system-wide registration follows no link)";
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
  const std::optional<std::string> existing = read_text(path, &read_error, anchor_for(r.scope, places));
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
  std::vector<std::string> made;
  if (const int rc = write_text_atomically(path, text, ownership_for(r.scope, places), r.replace, 0644, &made); rc != 0) {
    out.say("error: cannot write " + path + ": " + error_text(rc, r.scope));
    out.ok = false;
    return;
  }
  out.say("wrote " + path + what);
  record_made(r, places, path, made, !existing, OverrideAddition::none, out);
  if (r.scope == Scope::system && kept_by_package(places.root, path)) {
    out.say("note: " + path + std::string(kKeptByPackageNote));
  }
}

// Each change is announced before it is made, so that whoever runs this sees what touched the sandbox
// even when a step fails.
bool announce(const Request& r, Outcome& out, const std::string& change) {
  out.say((r.dry_run ? "would " : "") + change);
  return !r.dry_run;
}

// The copy of karvo-host inside a sandbox: a regular file that registration made there (its record
// says so) or that carries karvo-host's version mark.
bool is_our_copy(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (const std::optional<InstallRecord> record = read_record(path, {}); record && record->made_file) return true;
  const std::optional<std::string> program = read_text(path, nullptr, {}, kMaxProgramFile);
  return program && program->find("@(#)karvo-host ") != std::string::npos;
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
    const Ownership own = home_ownership();
    // 1. The host, copied where the sandbox sees it at the same path.
    const std::string copy = sandbox_host_path(b, places);
    const std::optional<std::string> program = read_text(host_on_disk, nullptr, {}, kMaxProgramFile);
    if (!program) {
      out.say("error: cannot read " + host_on_disk + " to copy it into " + name + "'s sandbox");
      out.ok = false;
      continue;
    }
    const bool had_copy = exists_no_follow(copy);
    if (had_copy && !r.replace && !is_our_copy(copy)) {
      out.say("error: left " + copy + " alone: it is not a copy of karvo-host; move it away, or run again with "
              "--replace to overwrite it");
      out.ok = false;
      continue;
    }
    if (read_text(copy, nullptr, {}, kMaxProgramFile) == program) {
      out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + copy);
    } else if (announce(r, out, "copy " + host_on_disk + " into " + name + "'s sandbox: " + copy)) {
      std::vector<std::string> made;
      if (const int rc = write_text_atomically(copy, *program, own, false, 0755, &made); rc != 0) {
        out.say("error: cannot write " + copy + ": " + std::strerror(rc));
        out.ok = false;
        continue;
      }
      record_made(r, places, copy, made, !had_copy, OverrideAddition::none, out);
    }
    // 2. The manifest where the sandboxed browser reads it, naming the copy.
    write_manifest(r, sandbox_manifest_dir(b, places) + "/" + std::string(kHostName) + ".json",
                   " (" + name + " inside its Flatpak sandbox)", family(b), copy, places, out);
    // 3. Read access to Karvo's data directory, and nothing else, for this one app.
    const std::string file = flatpak_override_path(b, places);
    const std::string grant = sandbox_grant(places);
    const std::string by_hand = "; grant it by hand: flatpak override --user --filesystem='" + grant + "' " + flatpak->app_id;
    int error = 0;
    const std::optional<std::string> text = read_text(file, &error, {}, kMaxOverrideSize);
    if (!text && error != ENOENT) {
      out.say("error: left " + file + " alone: " +
              (error == EFBIG ? "it is larger than " + std::to_string(kMaxOverrideSize >> 20) + " MiB, which no override file is"
                              : "cannot read it: " + std::string(std::strerror(error))) + by_hand);
      out.ok = false;
      continue;
    }
    const OverrideEdit edit = override_with(text.value_or(""), grant);
    if (edit.problem) {
      out.say("error: left " + file + " alone: Flatpak cannot read it either (" + *edit.problem + ")" + by_hand);
      out.ok = false;
      continue;
    }
    if (edit.added == OverrideAddition::none) {
      out.say(std::string(r.dry_run ? "would leave unchanged " : "unchanged ") + file + " (grants " + grant + ")");
    } else if (announce(r, out, "grant " + flatpak->app_id + " read access to " + karvo_data_dir(places) + ": add " +
                                    grant + " to the filesystems of " + file +
                                    " (what flatpak override --user --filesystem=" + "'" + grant + "'" + " " +
                                    flatpak->app_id + " does)")) {
      std::vector<std::string> made;
      if (const int rc = write_text_atomically(file, edit.text, own, false, mode_of(file, 0644), &made); rc != 0) {
        out.say("error: cannot write " + file + ": " + std::strerror(rc));
        out.ok = false;
        continue;
      }
      record_made(r, places, file, made, !text, edit.added, out);
    }
  }
}

// Takes away what install_in_sandbox made: the override's entry (only when registration added it), the
// manifest, the copy of the host, and the folders made for them.
bool remove_in_sandbox(const Request& r, const std::vector<Browser>& browsers, const Places& places, Outcome& out) {
  bool found = false;
  for (const Browser b : browsers) {
    const std::string app = flatpak_app_dir(b, places);
    if (app.empty()) continue;
    const std::string name(display_name(b));
    const std::string file = flatpak_override_path(b, places);
    const std::string grant = sandbox_grant(places);
    int error = 0;
    const std::optional<std::string> text = read_text(file, &error, {}, kMaxOverrideSize);
    if (!text && error == EFBIG) {
      out.say("error: left " + file + " alone: it is larger than " + std::to_string(kMaxOverrideSize >> 20) +
              " MiB, which no override file is");
      out.ok = false;
    }
    if (text && override_grants(*text, grant)) {
      found = true;
      const std::optional<InstallRecord> record = read_record(file, {});
      const OverrideAddition added = record ? addition_from_name(record->added_entry) : OverrideAddition::none;
      const OverrideEdit edit = override_without(*text, grant, added);
      const bool goes = record && record->made_file && edit.text.empty();
      if (added == OverrideAddition::none) {
        out.say("left " + grant + " in " + file + ": karvo-register did not add it");
      } else if (edit.problem) {
        out.say("error: left " + grant + " in " + file + ": " + *edit.problem);
        out.ok = false;
      } else if (announce(r, out, "take back the read access to " + karvo_data_dir(places) + ": remove " + grant +
                                      " from " + file + (goes ? " (nothing else is left in it: it goes)" : ""))) {
        const int rc = goes ? remove_file(file)
                            : write_text_atomically(file, edit.text, home_ownership(), false, mode_of(file, 0644));
        if (rc != 0) {
          out.say("error: cannot change " + file + ": " + std::strerror(rc));
          out.ok = false;
        } else {
          take_back_made(file, {});
        }
      }
    }
    const std::string manifest = sandbox_manifest_dir(b, places) + "/" + std::string(kHostName) + ".json";
    if (const std::optional<std::string> m = read_text(manifest); m && is_our_manifest(*m)) {
      found = true;
      if (announce(r, out, "remove " + manifest + " (" + name + " inside its Flatpak sandbox)")) {
        if (const int rc = remove_file(manifest); rc != 0 && rc != ENOENT) {
          out.say("error: cannot remove " + manifest + ": " + std::strerror(rc));
          out.ok = false;
        } else {
          take_back_made(manifest, {});
        }
      }
    }
    const std::string copy = sandbox_host_path(b, places);
    if (!exists_no_follow(copy)) continue;
    found = true;
    if (!is_our_copy(copy)) {
      out.say("left " + copy + " alone: it is not a copy of karvo-host");
      continue;
    }
    if (announce(r, out, "remove " + copy + " (karvo-host inside " + name + "'s sandbox)")) {
      if (const int rc = remove_file(copy); rc != 0 && rc != ENOENT) {
        out.say("error: cannot remove " + copy + ": " + std::strerror(rc));
        out.ok = false;
      } else {
        take_back_made(copy, {});
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
    if (r.scope == Scope::user && !dir.empty()) add_target(targets, dir, b, Reach::sandbox);
  }
  for (const Target& t : targets) {
    int read_error = 0;
    const std::optional<std::string> existing = read_text(t.path, &read_error, anchor_for(r.scope, places));
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
    if (r.scope == Scope::system && kept_by_package(places.root, t.path)) {
      out.say("note: " + t.path + std::string(kKeptByPackageNote));
    }
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
    const std::string anchor = anchor_for(r.scope, places);
    const std::optional<std::string> existing = read_text(t.path, nullptr, anchor);
    if (!existing || !is_our_manifest(*existing)) {
      out.say("left " + t.path + " alone: it is not a manifest of " + std::string(kHostName));
      continue;
    }
    if (r.dry_run) {
      out.say("would remove " + t.path + label(t, r.scope));
      continue;
    }
    if (const int rc = remove_file(t.path, anchor); rc != 0 && rc != ENOENT) {
      out.say("error: cannot remove " + t.path + ": " + error_text(rc, r.scope));
      out.ok = false;
      continue;
    }
    out.say("removed " + t.path + label(t, r.scope));
    // The folders that registration made go too, so that nothing of ours makes an absent browser look
    // installed; only those it made, and only when empty: whatever the browser or the user keeps stays.
    take_back_made(t.path, anchor);
  }
  if (r.scope == Scope::user && remove_in_sandbox(r, browsers, places, out)) found_any = true;
  if (!found_any) {
    out.say("nothing to remove: no manifest of " + std::string(kHostName) + " " +
                        (r.scope == Scope::user ? "for this user" : "system-wide") + " for " + names(browsers));
  }
}

void run_here(const Request& request, const Places& places, Outcome& out) {
  const std::vector<Browser> browsers = chosen_browsers(request, places, out);
  if (browsers.empty()) {
    out.say(
        "error: no supported browser found for this request; name one with --browser, or use --all");
    out.ok = false;
    add_sandbox_notes({std::begin(kAllBrowsers), std::end(kAllBrowsers)}, places, false, out);
    return;
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
  if (request.action != Action::install) return;
  add_sandbox_notes(request.browsers.empty() ? std::vector<Browser>(std::begin(kAllBrowsers), std::end(kAllBrowsers))
                                             : browsers,
                    places, request.in_sandbox, out);
}

}  // namespace

Outcome run_request(const Request& request, const Places& places, std::function<void(const std::string&)> print) {
  Outcome out;
  out.print = std::move(print);
  // Root registering for a home that is not root's does that part as the home's owner.
  if (request.scope == Scope::user) {
    const HomeCheck home = foreign_home_owner(places);
    if (home.problem) {
      out.say("error: " + *home.problem);
      out.ok = false;
      return out;
    }
    if (home.owner) {
      out.ok = run_as_owner(
          *home.owner,
          [&](const SayFn& say) {
            Outcome inner;
            inner.print = say;
            run_here(request, places, inner);
            return inner.ok;
          },
          [&](const std::string& line) { out.say(line); });
      return out;
    }
  }
  run_here(request, places, out);
  return out;
}

}  // namespace karvo::reg
