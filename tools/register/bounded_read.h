// Reading a file that anyone may have put in its place: a size limit chosen by the caller, and no wait
// on a FIFO or a device. Nothing here throws.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace karvo::reg {

// Manifests, policy files and override files are a few KiB at most.
inline constexpr std::size_t kMaxSettingsFile = 1024 * 1024;

// The whole content of the regular file at `path` (following symbolic links) when it holds at most
// `limit` bytes. On failure, nothing, and `error` (when given) holds errno: EISDIR for a folder, EINVAL
// for anything else that is not a regular file (never opened for long enough to block), EFBIG for a
// file over the limit (judged by its size before reading, and again while reading).
std::optional<std::string> read_bounded(const std::string& path, std::size_t limit, int* error = nullptr);

}  // namespace karvo::reg
