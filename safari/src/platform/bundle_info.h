// Bundle information: the extension's own bundle and the bundles around it.
#pragma once

#include <optional>
#include <string>

namespace karvo::safari::platform {

// The value under `key` in the extension bundle's information property list, when it is text.
std::optional<std::string> mainBundleInfoText(const std::string& key);

// The location of the extension's own bundle (the ".appex" directory).
std::string mainBundlePath();

// The value under `key` in the information property list of the bundle at `path`, when it is text.
std::optional<std::string> bundleInfoText(const std::string& path, const std::string& key);

// The bundle identifier of the bundle at `path`, when the directory opens as a bundle and has one.
std::optional<std::string> bundleIdentifier(const std::string& path);

}  // namespace karvo::safari::platform
