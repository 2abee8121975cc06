// Bundle information from the bundles' Contents/Info.plist files, in the same layout as on a Mac.
#include "bundle_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <plist/plist.h>

#include "file_system.h"
#include "linux_settings.h"

namespace karvo::safari::platform {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The text under `key` in the property list of the bundle at `bundlePath`, when it is text.
std::optional<std::string> infoText(const std::string& bundlePath, const char* key) {
  if (!isDirectory(bundlePath)) return std::nullopt;
  // A bundle's property list is a few kilobytes; this bounds what a hostile one can cost.
  constexpr std::size_t kMaxInfoPlist = 1024 * 1024;
  const auto contents = fileContents(bundlePath + "/Contents/Info.plist", kMaxInfoPlist);
  if (!contents || contents->empty()) {
    return std::nullopt;
  }
  plist_t raw = nullptr;
  plist_from_memory(contents->data(), static_cast<std::uint32_t>(contents->size()), &raw);
  const PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  plist_t item = plist_dict_get_item(root.get(), key);
  if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(item, &value);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  std::free(value);
  return text;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string executablePath() {
  std::string buffer(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::optional<std::string> mainBundleInfoText(const std::string& key) {
  return infoText(mainBundlePath(), key.c_str());
}

std::optional<std::string> bundleInfoText(const std::string& path, const std::string& key) {
  return infoText(path, key.c_str());
}

std::string mainBundlePath() {
  const LinuxSettings settings = linuxSettings();
  if (!settings.bundlePath.empty()) return settings.bundlePath;
  const std::string executable = executablePath();
  const std::string macos = parentOf(executable);
  const std::string contents = parentOf(macos);
  if (baseName(macos) == "MacOS" && baseName(contents) == "Contents") return parentOf(contents);
  return macos;
}

std::optional<std::string> bundleIdentifier(const std::string& path) {
  return infoText(path, "CFBundleIdentifier");
}

}  // namespace karvo::safari::platform
