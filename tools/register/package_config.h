// System-wide manifests that the Debian package karvo-host keeps as its configuration.
#pragma once

#include <string>
#include <string_view>

namespace karvo::reg {

// True when the manifest at `path` (a path under `root`, which stands for "/" unless empty) was put in
// place by the package karvo-host, whose maintainer scripts note each one in /var/lib/karvo-host.
bool kept_by_package(std::string_view root, std::string_view path);

// The line that says so, printed when registration changes such a manifest.
inline constexpr std::string_view kKeptByPackageNote =
    " is configuration of the package karvo-host: upgrading the package keeps this change (a new "
    "version of the package's own goes beside it, as .dpkg-dist)";

}  // namespace karvo::reg
