// The extension's log: one log object, subsystem "com.karvo.safari-extension", category "relay", created
// once on first use. One function per message of the extension's log vocabulary; all arguments public.
#pragma once

#include <string>

namespace karvo::safari::platform {

// Info level: "<op> [<label>] → <result> [<summary>]".
void logTrace(const std::string& op, const std::string& label, const std::string& result,
              const std::string& summary);

// Error level: "Karvo did not start in time".
void logDidNotStartInTime();

// Error level: "Karvo.app not found".
void logAppNotFound();

// Error level: "starting Karvo failed: <description>".
void logStartingFailed(const std::string& description);

}  // namespace karvo::safari::platform
