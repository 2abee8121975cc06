#import <Foundation/Foundation.h>

#include "file_system.h"

namespace karvo::safari::platform {

bool fileExists(const std::string& path) {
  return [[NSFileManager defaultManager] fileExistsAtPath:@(path.c_str())];
}

std::optional<std::string> fileContents(const std::string& path) {
  NSData* data = [[NSFileManager defaultManager] contentsAtPath:@(path.c_str())];
  if (data == nil) return std::nullopt;
  return std::string(static_cast<const char*>(data.bytes), data.length);
}

}  // namespace karvo::safari::platform
