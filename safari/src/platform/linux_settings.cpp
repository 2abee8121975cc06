#include "linux_settings.h"

#include <mutex>
#include <utility>

namespace karvo::safari::platform {
namespace {

std::mutex& settingsLock() {
  static std::mutex lock;
  return lock;
}

LinuxSettings& current() {
  static LinuxSettings settings;
  return settings;
}

}  // namespace

LinuxSettings linuxSettings() {
  const std::lock_guard guard(settingsLock());
  return current();
}

void setLinuxSettings(LinuxSettings settings) {
  const std::lock_guard guard(settingsLock());
  current() = std::move(settings);
}

}  // namespace karvo::safari::platform
