// The native messaging host manifest of karvo-host: writing it, and judging one found on disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace karvo::reg {

// "chrome-extension://<id>/" from that form, from it without the final slash, or from the bare id;
// the id is the 32 letters a to p that Chromium derives from an extension's key. Nothing otherwise.
std::optional<std::string> normalise_origin(std::string_view text);

// A Firefox extension id: "name@domain" or a braced UUID.
bool valid_firefox_id(std::string_view text);

// The manifest's text for a browser family: our host name, `host_path`, "stdio", and the extensions
// allowed to connect ("allowed_origins" for the Chromium family, "allowed_extensions" for Firefox).
std::string manifest_text(Family family, std::string_view host_path, const std::vector<std::string>& allowed);

// What a manifest on disk says, or why a browser would not use it.
struct ManifestCheck {
  std::optional<std::string> problem;  // set when the browser would reject the manifest
  std::string host_path;
  std::vector<std::string> allowed;
};
ManifestCheck check_manifest(std::string_view text, Family family);

// True when the text is a manifest of ours (a JSON object whose "name" is our host name): the only
// files that registration replaces or removes.
bool is_our_manifest(std::string_view text);

}  // namespace karvo::reg
