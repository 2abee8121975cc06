// Small file operations of the registration and diagnostics tools. Nothing here throws.
//
// Paths are reached in one of two ways. With no anchor, as given, links and all: that is how a user's
// own files are reached, by a process that runs as that user. With an anchor (a folder that only root can
// change, or the stand-in for "/"), the path is walked down from it one folder at a time and no symbolic
// link below it is followed (ELOOP or ENOTDIR instead), so that root acting in system folders goes nowhere
// it did not mean to; what is made is made through the folder it was opened from, and modes are set on
// what was opened.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::reg {

// Manifests, policy files and override files are a few KiB at most; a program is far below the second.
inline constexpr std::size_t kMaxSettingsFile = 1024 * 1024;
inline constexpr std::size_t kMaxProgramFile = 512u << 20;

// The whole content of a regular file. On failure, nothing, and `error` (when given) holds errno:
// EISDIR for a folder, EINVAL for another kind of file (a FIFO or a device is never waited on), EFBIG
// for a file larger than `max_size` (judged by its size before reading, and never more than that read).
std::optional<std::string> read_text(const std::string& path, int* error = nullptr, const std::string& anchor = {},
                                     std::size_t max_size = kMaxSettingsFile);

// Whether the regular file at `path` holds the bytes `needle` within its first `limit` bytes, read a
// piece at a time (a program's library is large); nothing when it cannot be read.
std::optional<bool> file_contains(const std::string& path, std::string_view needle, std::size_t limit);

// How write_text_atomically makes what is missing, and how it reaches it.
struct Ownership {
  mode_t folder_mode = 0755;
  std::string anchor;  // see above; "" reaches the path as given
};

// For files in a home: folders 0700, as the browsers and the XDG base directory rules make them.
Ownership home_ownership();
// For system-wide files: folders 0755 (browsers of every user read them), reached from `root` ("/"
// when empty) following no link.
Ownership system_ownership(const std::string& root);

// Replaces `path` with `content` (mode `file_mode`) through a temporary file in the same folder and a rename,
// creating missing folders (mode as `own` says; each one made is added to `made`, outermost first).
// errno-style code on failure, 0 on success. With `replace_folder`, an empty folder in the file's place
// is removed first.
int write_text_atomically(const std::string& path, std::string_view content, const Ownership& own = {},
                          bool replace_folder = false, mode_t file_mode = 0644,
                          std::vector<std::string>* made = nullptr);

// Deletes the file (or link) at `path`, never a folder. errno-style code, 0 on success.
int remove_file(const std::string& path, const std::string& anchor = {});

// Removes the folder `dir` when it is empty. True when it is gone.
bool remove_empty_folder(const std::string& dir, const std::string& anchor = {});

// True when something (a file, a folder, a link, even a dangling one) exists at `path`.
bool exists_no_follow(const std::string& path);

// "<root><path>" for an absolute path when a root folder stands for "/"; `path` when root is "".
std::string under_root(std::string_view root, std::string_view path);

}  // namespace karvo::reg
