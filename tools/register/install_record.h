// What registration made for one file that it installs, kept beside that file in
// ".<name>.karvo-register", so that removal takes back exactly that: the folders it created (never one
// that was there before), whether the file itself was new, and for an override file whether the entry
// was ours. A file without a record (put there by hand, or by an older karvo-register) loses no folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "files.h"

namespace karvo::reg {

struct InstallRecord {
  std::vector<std::string> folders;  // absolute paths, each listed once
  bool made_file = false;            // the file did not exist before registration wrote it
  std::string added_entry;           // what adding the override's entry took ("" when the user had it)
};

// ".<name>.karvo-register" in the file's folder.
std::string record_path(const std::string& file);

// The record of `file`; nothing when there is none or it cannot be read.
std::optional<InstallRecord> read_record(const std::string& file, const std::string& anchor);

// Writes (replaces) the record of `file`. errno-style code, 0 on success.
int write_record(const std::string& file, const InstallRecord& record, const Ownership& own);

// Adds the folders of `more` that `into` does not list yet.
void add_folders(InstallRecord& into, const std::vector<std::string>& more);

// Removes the recorded folders that are empty, the deepest first; the others stay (something else,
// the user's or another registration's, lies in them).
void remove_recorded_folders(const InstallRecord& record, const std::string& anchor);

}  // namespace karvo::reg
