// Reading a file that anyone may have put in its place: a size limit chosen by the caller, and no wait
// on a FIFO or a device. Nothing here throws.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::reg {

// Manifests, policy files and override files are a few KiB at most.
inline constexpr std::size_t kMaxSettingsFile = 1024 * 1024;

// The whole content of the regular file at `path` (following symbolic links) when it holds at most
// `limit` bytes. On failure, nothing, and `error` (when given) holds errno: EISDIR for a folder, EINVAL
// for anything else that is not a regular file (never opened for long enough to block), EFBIG for a
// file over the limit (judged by its size before reading, and again while reading).
std::optional<std::string> read_bounded(const std::string& path, std::size_t limit, int* error = nullptr);

// Whether the regular file at `path` holds the bytes `needle` within its first `limit` bytes, read a
// piece at a time (a program's library is large); nothing when it cannot be read.
std::optional<bool> file_contains(const std::string& path, std::string_view needle, std::size_t limit);

}  // namespace karvo::reg
