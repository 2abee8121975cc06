// Reading a key file (Flatpak's overrides and metadata) as Flatpak reads it: with GLib's key-file parser
// (GKeyFile) on Linux. Other systems have no Flatpak and no parser here. One implementation per
// platform: key_file_glib.cpp, key_file_apple.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::reg {

struct KeyFileList {
  std::optional<std::string> problem;  // why the parser refused the text (then nothing else is known)
  bool present = false;                // the group has the key
  std::vector<std::string> items;      // the key's list, its escapes undone
};

// The list under `key` of `group`, as g_key_file_get_string_list gives it (groups that appear twice,
// keys that appear twice in a group, spaces around "=", CRLF line ends, escapes: all as GLib reads them).
KeyFileList key_file_string_list(std::string_view text, const char* group, const char* key);

}  // namespace karvo::reg
