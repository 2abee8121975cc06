// Small file operations of the registration and diagnostics tools. Nothing here throws.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace karvo::reg {

// The whole content of a regular file (following symbolic links). On failure, nothing, and `error`
// (when given) holds errno.
std::optional<std::string> read_text(const std::string& path, int* error = nullptr);

// Who gets what write_text_atomically creates, and with which folder mode.
struct Ownership {
  mode_t folder_mode = 0755;
  // When set, the folders created and the file written are given to this user and group.
  std::optional<std::pair<unsigned, unsigned>> owner;
};

// For files in a home: folders 0700 (as the browsers and the XDG base directory rules make them), and
// when root writes into a home that is not root's, everything goes to the home's owner, so that the
// browser running as that user can still create its profile beside it.
Ownership home_ownership(const std::string& home);

// Replaces `path` with `content` (mode `file_mode`) through a temporary file in the same folder and a rename,
// creating missing folders (mode and owner as `own` says). errno-style code on failure, 0 on success.
// With `replace_folder`, an empty folder in the file's place is removed first.
int write_text_atomically(const std::string& path, std::string_view content, const Ownership& own = {},
                          bool replace_folder = false, mode_t file_mode = 0644);

// Removes the empty folders from `dir` upwards, stopping at `stop` (never removed) or at the first
// folder that is not empty.
void remove_empty_folders(const std::string& dir, const std::string& stop);

// True when something (a file, a folder, a link, even a dangling one) exists at `path`.
bool exists_no_follow(const std::string& path);

// "<root><path>" for an absolute path when a root folder stands for "/"; `path` when root is "".
std::string under_root(std::string_view root, std::string_view path);

}  // namespace karvo::reg
