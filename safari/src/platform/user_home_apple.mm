#import <Foundation/Foundation.h>

#include <pwd.h>
#include <unistd.h>

#include "user_home.h"

namespace karvo::safari::platform {

std::optional<std::string> userDatabaseHome() {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
  return std::string(entry->pw_dir);
}

std::string processHomeDirectory() {
  const char* home = NSHomeDirectory().UTF8String;
  return home != nullptr ? std::string(home) : std::string();
}

}  // namespace karvo::safari::platform
