#import <Foundation/Foundation.h>

#include <pwd.h>
#include <unistd.h>

#include "foundation_text.h"
#include "user_home.h"

namespace karvo::safari::platform {

std::optional<std::string> userDatabaseHome() {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
  return std::string(entry->pw_dir);
}

std::string processHomeDirectory() {
  @autoreleasepool {  // runs on a relay's queue, which has no pool of its own
    return utf8Text(NSHomeDirectory()).value_or("");
  }
}

}  // namespace karvo::safari::platform
