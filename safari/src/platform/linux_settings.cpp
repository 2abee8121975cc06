#include "linux_settings.h"

#include <mutex>
#include <utility>

namespace karvo::safari::platform {
namespace {

// Never destroyed: threads of relays and launches may still read them while the process ends.
std::mutex& settingsLock() {
  static auto* const lock = new std::mutex;
  return *lock;
}

LinuxSettings& current() {
  static auto* const settings = new LinuxSettings;
  return *settings;
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
