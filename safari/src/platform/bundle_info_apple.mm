// Bundle information through the platform's bundles. Every call runs on a relay's queue, a thread
// without an autorelease pool of its own: each body drains its own.
#import <Foundation/Foundation.h>

#include "bundle_info.h"
#include "foundation_text.h"

namespace karvo::safari::platform {
namespace {

NSBundle* bundleAt(const std::string& path) {
  NSString* location = foundationText(path);
  return location != nil ? [NSBundle bundleWithPath:location] : nil;
}

std::optional<std::string> infoText(NSBundle* bundle, const std::string& key) {
  NSString* name = foundationText(key);
  if (bundle == nil || name == nil) return std::nullopt;
  return utf8Text([bundle objectForInfoDictionaryKey:name]);
}

}  // namespace

std::optional<std::string> mainBundleInfoText(const std::string& key) {
  @autoreleasepool {
    return infoText([NSBundle mainBundle], key);
  }
}

std::string mainBundlePath() {
  @autoreleasepool {
    return utf8Text([NSBundle mainBundle].bundleURL.path).value_or("");
  }
}

std::optional<std::string> bundleInfoText(const std::string& path, const std::string& key) {
  @autoreleasepool {
    return infoText(bundleAt(path), key);
  }
}

std::optional<std::string> bundleIdentifier(const std::string& path) {
  @autoreleasepool {
    NSBundle* bundle = bundleAt(path);
    return bundle != nil ? utf8Text(bundle.bundleIdentifier) : std::nullopt;
  }
}

}  // namespace karvo::safari::platform
