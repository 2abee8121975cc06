#import <Foundation/Foundation.h>

#include "bundle_info.h"

namespace karvo::safari::platform {
namespace {

std::optional<std::string> text(id value) {
  if (![value isKindOfClass:[NSString class]]) return std::nullopt;
  const char* utf8 = [(NSString*)value UTF8String];
  return utf8 != nullptr ? std::optional<std::string>(utf8) : std::nullopt;
}

}  // namespace

std::optional<std::string> mainBundleInfoText(const std::string& key) {
  return text([[NSBundle mainBundle] objectForInfoDictionaryKey:@(key.c_str())]);
}

std::string mainBundlePath() {
  return text([NSBundle mainBundle].bundleURL.path).value_or("");
}

std::optional<std::string> bundleInfoText(const std::string& path, const std::string& key) {
  return text([[NSBundle bundleWithPath:@(path.c_str())] objectForInfoDictionaryKey:@(key.c_str())]);
}

std::optional<std::string> bundleIdentifier(const std::string& path) {
  return text([NSBundle bundleWithPath:@(path.c_str())].bundleIdentifier);
}

}  // namespace karvo::safari::platform
