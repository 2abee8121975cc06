// File existence and whole-file reads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace karvo::safari::platform {

// True when something (a file or a directory) exists at `path`.
bool fileExists(const std::string& path);

// The whole content of the regular file at `path`; nothing when it cannot be opened or read, is no regular
// file, or holds more than `limit` bytes (judged at once by its size, and again while reading, so that the
// read never takes more than `limit` + 1 bytes of memory).
std::optional<std::string> fileContents(const std::string& path, std::size_t limit);

}  // namespace karvo::safari::platform
