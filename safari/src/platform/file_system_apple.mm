#import <Foundation/Foundation.h>

#include "file_system.h"

namespace karvo::safari::platform {

bool fileExists(const std::string& path) {
  return [[NSFileManager defaultManager] fileExistsAtPath:@(path.c_str())];
}

std::optional<std::string> fileContents(const std::string& path) {
  NSFileManager* manager = [NSFileManager defaultManager];
  NSString* nsPath = @(path.c_str());
  // Only a regular file has contents: a pipe left in its place would block the relay in the read, and
  // a device that never ends would fill its memory. Attributes describe a link itself, so they are
  // taken of the file the path resolves to.
  NSDictionary<NSFileAttributeKey, id>* attributes =
      [manager attributesOfItemAtPath:[nsPath stringByResolvingSymlinksInPath] error:nil];
  if (attributes == nil || ![attributes.fileType isEqualToString:NSFileTypeRegular]) return std::nullopt;
  NSData* data = [manager contentsAtPath:nsPath];
  if (data == nil) return std::nullopt;
  return std::string(static_cast<const char*>(data.bytes), data.length);
}

}  // namespace karvo::safari::platform
