#import <Foundation/Foundation.h>

#include "file_system.h"

namespace karvo::safari::platform {

bool fileExists(const std::string& path) {
  return [[NSFileManager defaultManager] fileExistsAtPath:@(path.c_str())];
}

}  // namespace karvo::safari::platform
