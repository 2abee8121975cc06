#include "checks.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "checks_common.h"
#include "executable_path.h"
#include "files.h"
#include "utf8.h"

namespace karvo::doctor {

using reg::Browser;
using reg::Family;

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

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

namespace {
constexpr std::string_view kOriginPlaceholder = " --origin ID";
constexpr std::string_view kIdPlaceholder = " --extension-id ID";
}  // namespace

std::string register_command(std::string_view verb, Browser b, reg::Scope scope, const std::vector<std::string>& allowed,
                             const reg::Places& places, std::string_view extra) {
  std::string cmd = "karvo-register " + std::string(verb) + " --browser " + std::string(reg::key(b));
  if (scope == reg::Scope::system) cmd += " --system";
  if (!places.root.empty()) cmd += " --root " + shell_word(places.root);
  const bool chromium = reg::family(b) == Family::chromium;
  // A placeholder that a shell takes as a plain word, explained outside the command (placeholder_hint).
  if (allowed.empty()) cmd += chromium ? kOriginPlaceholder : kIdPlaceholder;
  for (const std::string& a : allowed) cmd += (chromium ? " --origin " : " --extension-id ") + shell_word(a);
  if (!extra.empty()) cmd += " " + std::string(extra);
  return cmd;
}

std::string placeholder_hint(const std::string& command) {
  auto holds = [&](std::string_view word) {
    return command.ends_with(word) || command.find(std::string(word) + " ") != std::string::npos;
  };
  std::vector<std::string> fill;
  if (holds(kOriginPlaceholder)) fill.emplace_back("your extension's id, its 32 letters a to p, in place of ID");
  if (holds(kIdPlaceholder)) fill.emplace_back("your extension's id, such as name@example.com, in place of ID");
  if (holds(" --host HOST")) fill.emplace_back("the path of karvo-host in place of HOST");
  if (fill.empty()) return {};
  std::string out = " (put " + fill[0];
  for (std::size_t i = 1; i < fill.size(); ++i) out += ", and " + fill[i];
  return out + ")";
}

std::string advice(std::string_view lead, const std::string& command) {
  return std::string(lead) + placeholder_hint(command) + ": " + command;
}

const std::vector<std::string>& wanted_for(Browser b, const Options& o) {
  return reg::family(b) == Family::chromium ? o.origins : o.firefox_ids;
}

reg::Scope scope_of(Browser b, const std::string& path, const reg::Places& places) {
  for (const std::string& dir : reg::manifest_dirs(b, reg::Scope::user, places)) {
    if (path.starts_with(dir + "/")) return reg::Scope::user;
  }
  return reg::Scope::system;
}

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

std::optional<std::string> read_settings(const std::string& path, int* error) {
  return reg::read_text(path, error);
}

std::vector<std::string> xdg_data_dirs(const reg::Places& places, std::string_view sub) {
  std::vector<std::string> out;
  out.push_back((places.data_home.empty() ? places.home + "/.local/share" : places.data_home) + std::string(sub));
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

std::vector<Finding> run_checks(const Options& options, const reg::Places& places, const BusQuery& ask_bus) {
  Report r;
  const std::vector<Browser> browsers = browsers_to_check(options, places, r);
  std::vector<Finding> sandboxed = check_sandboxed_browsers(options, places, ask_bus);
  if (browsers.empty() && sandboxed.empty()) {
    r.problem("no supported browser found here (" + reg::browser_keys() + "); name yours with --browser");
  }
  std::vector<std::string> hosts;
  for (const Browser b : browsers) {
    if (std::optional<std::string> host = check_browser(b, options, places, r)) {
      if (std::find(hosts.begin(), hosts.end(), *host) == hosts.end()) hosts.push_back(std::move(*host));
    }
  }
  std::vector<Finding> out = r.take();
  out.insert(out.end(), std::make_move_iterator(sandboxed.begin()), std::make_move_iterator(sandboxed.end()));
  report_host_versions(hosts, places, r);
  if (!check_application(r)) check_launch(hosts, places, r);
  check_launch_lock(r);
  std::vector<Finding> rest = r.take();
  out.insert(out.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
  return out;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char c) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      escape(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A well-formed UTF-8 sequence passes, except the C1 controls (U+0080 to U+009F), which some
    // terminals obey as they obey ESC; every byte of anything else is escaped.
    const std::size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    if (len != 0 && i + len <= text.size() && is_valid_utf8(text.substr(i, len)) &&
        !(c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0)) {
      out.append(text.substr(i, len));
      i += len;
      continue;
    }
    escape(c);
    ++i;
  }
  return out;
}

std::string format(const Finding& f) {
  const std::string text = printable(f.text);
  switch (f.level) {
    case Level::ok:
      return "ok: " + text;
    case Level::note:
      return "note: " + text;
    case Level::problem:
      return "problem: " + text;
  }
  return text;
}

}  // namespace karvo::doctor
