#include "as_browser.h"

#include <algorithm>

#include "files.h"
#include "json.h"
#include "manifest.h"

namespace karvo::browser {

// Both families refuse a single message from the host above this size.
constexpr std::size_t kMaxHostMessage = 1024 * 1024;

std::optional<HostLaunch> launch_as(reg::Browser b, const std::string& extension, const reg::Places& places,
                                    std::string& why) {
  const std::string name(reg::display_name(b));
  for (const std::string& path : reg::manifest_search_order(b, places)) {
    const std::optional<std::string> text = reg::read_text(path);
    if (!text) continue;
    const reg::ManifestCheck m = reg::check_manifest(*text, reg::family(b));
    if (m.problem) {
      why = name + " would not start the host: " + path + " is unusable: " + *m.problem;
      return std::nullopt;
    }
    if (std::find(m.allowed.begin(), m.allowed.end(), extension) == m.allowed.end()) {
      why = name + " would not start the host: " + path + " does not allow " + extension;
      return std::nullopt;
    }
    HostLaunch launch;
    launch.manifest = path;
    const std::string host = reg::under_root(places.root, m.host_path);
    launch.cwd = host.substr(0, host.rfind('/') + 1);
    if (reg::family(b) == reg::Family::chromium) {
      launch.argv = {host, extension};
    } else {
      launch.argv = {host, path, extension};
    }
    return launch;
  }
  why = name + " would not start the host: no manifest of " + std::string(reg::kHostName) + " where it looks";
  return std::nullopt;
}

std::string rejection(std::string_view body) {
  if (body.size() > kMaxHostMessage) return "over 1 MiB (" + std::to_string(body.size()) + " bytes)";
  if (!json::parse(body)) return "not JSON text in UTF-8";
  return {};
}

}  // namespace karvo::browser
