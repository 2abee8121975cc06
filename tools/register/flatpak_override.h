// Flatpak's per-application override files ($XDG_DATA_HOME/flatpak/overrides/<app id>), which
// `flatpak override --user` writes: key files in the format of the application metadata, whose
// [Context] group lists extra filesystem access under "filesystems" (entries ending in ";").
// Registration edits only its own entry there, so that removal takes away exactly what it granted and
// nothing that the user or another program set (`flatpak override --nofilesystem` would add a denial
// instead, and `--reset` would drop every override of the app).
#pragma once

#include <string>
#include <string_view>

namespace karvo::reg {

// True when the [Context] group's "filesystems" list holds `entry`.
bool override_grants(std::string_view text, std::string_view entry);

// The file's text with `entry` added to the list (the group and the key made when missing); the same
// text when it is there already.
std::string override_with(std::string_view text, std::string_view entry);

// The file's text without `entry`; an emptied list loses its key, an emptied [Context] its header.
// When nothing but blank lines is left, the result is empty and the file can go.
std::string override_without(std::string_view text, std::string_view entry);

}  // namespace karvo::reg
