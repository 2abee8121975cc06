#include "user_home.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "linux_settings.h"

namespace karvo::safari::platform {

std::optional<std::string> userDatabaseHome() {
  const LinuxSettings settings = linuxSettings();
  if (settings.userDatabaseHome) {
    if (settings.userDatabaseHome->empty()) return std::nullopt;
    return settings.userDatabaseHome;
  }
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1U << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == EINTR) continue;
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::string processHomeDirectory() {
  const LinuxSettings settings = linuxSettings();
  if (!settings.processHome.empty()) return settings.processHome;
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? std::string(home) : std::string("/");
}

}  // namespace karvo::safari::platform
