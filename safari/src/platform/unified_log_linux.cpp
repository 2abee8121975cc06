// The unified log's stand-in: one line per entry on standard error, with the log's subsystem, category and
// the entry's level.
#include "unified_log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string_view>

#include "../log_text.h"
#include "linux_io.h"
#include "linux_settings.h"

namespace karvo::safari::platform {
namespace {

void log(std::string_view level, const std::string& text) {
  const LinuxSettings settings = linuxSettings();
  if (settings.logSink) {
    // The sink sees what the platform's log would be given.
    settings.logSink(level, text);
    return;
  }
  // One entry is one line: control characters in what is logged (the platform's error descriptions
  // included) are written escaped.
  std::string line = "com.karvo.safari-extension relay ";
  line.append(level).append(": ").append(escapeControls(text)).push_back('\n');
  static std::mutex lock;  // whole lines, even when relays log at once
  const std::lock_guard guard(lock);
  writeAll(STDERR_FILENO, line);
}

}  // namespace

void logTrace(const std::string& op, const std::string& label, const std::string& result,
              const std::string& summary) {
  log("info", op + " [" + label + "] \u2192 " + result + " [" + summary + "]");
}

void logDidNotStartInTime() { log("error", "Karvo did not start in time"); }

void logAppNotFound() { log("error", "Karvo.app not found"); }

void logStartingFailed(const std::string& description) {
  log("error", "starting Karvo failed: " + description);
}

}  // namespace karvo::safari::platform
