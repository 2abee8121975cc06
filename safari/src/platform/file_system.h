// File existence and whole-file reads.
#pragma once

#include <optional>
#include <string>

namespace karvo::safari::platform {

// True when something (a file or a directory) exists at `path`.
bool fileExists(const std::string& path);

// The whole content of the file at `path`; nothing when it cannot be opened or read.
std::optional<std::string> fileContents(const std::string& path);

}  // namespace karvo::safari::platform
