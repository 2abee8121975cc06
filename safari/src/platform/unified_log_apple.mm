// The extension's log on the unified log. Entries are written from the relays' queues, threads without
// an autorelease pool of their own: each call drains its own.
#import <Foundation/Foundation.h>
#include <os/log.h>

#include "foundation_text.h"
#include "unified_log.h"

namespace karvo::safari::platform {
namespace {

os_log_t relayLog() {
  static os_log_t log = os_log_create("com.karvo.safari-extension", "relay");
  return log;
}

NSString* ns(const std::string& text) {
  NSString* string = foundationText(text);
  return string != nil ? string : @"";
}

}  // namespace

void logTrace(const std::string& op, const std::string& label, const std::string& result,
              const std::string& summary) {
  @autoreleasepool {
    os_log_info(relayLog(), "%{public}@ [%{public}@] → %{public}@ [%{public}@]", ns(op), ns(label), ns(result),
                ns(summary));
  }
}

void logDidNotStartInTime() {
  @autoreleasepool {
    os_log_error(relayLog(), "Karvo did not start in time");
  }
}

void logAppNotFound() {
  @autoreleasepool {
    os_log_error(relayLog(), "Karvo.app not found");
  }
}

void logStartingFailed(const std::string& description) {
  @autoreleasepool {
    os_log_error(relayLog(), "starting Karvo failed: %{public}@", ns(description));
  }
}

}  // namespace karvo::safari::platform
