// Small file operations of the registration and diagnostics tools. Nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace karvo::reg {

// The whole content of a regular file (following symbolic links). On failure, nothing, and `error`
// (when given) holds errno.
std::optional<std::string> read_text(const std::string& path, int* error = nullptr);

// Replaces `path` with `content` (mode 0644) through a temporary file in the same folder and a rename,
// creating missing folders (mode 0755). errno-style code on failure, 0 on success.
int write_text_atomically(const std::string& path, std::string_view content);

// True when something (a file, a folder, a link, even a dangling one) exists at `path`.
bool exists_no_follow(const std::string& path);

// "<root><path>" for an absolute path when a root folder stands for "/"; `path` when root is "".
std::string under_root(std::string_view root, std::string_view path);

}  // namespace karvo::reg
