#include "extension_context.h"
#include "linux_settings.h"

namespace karvo::safari::platform {

bool systemVersionAtLeast(int major, int minor) {
  const LinuxSettings settings = linuxSettings();
  return settings.systemMajor != major ? settings.systemMajor > major : settings.systemMinor >= minor;
}

}  // namespace karvo::safari::platform
