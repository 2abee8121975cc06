// Flatpak's per-application override files ($XDG_DATA_HOME/flatpak/overrides/<app id>), which
// `flatpak override --user` writes: key files in the format of the application metadata, whose
// [Context] group lists extra filesystem access under "filesystems" (entries ending in ";").
// They are judged as Flatpak reads them, with GLib's key-file parser (key_file.h). Registration edits only
// its own entry, in the one line that Flatpak reads, and keeps every other byte of the file as it was,
// so that removal takes away exactly what it added and nothing that the user or another program set
// (`flatpak override --nofilesystem` would add a denial instead, and `--reset` would drop every
// override of the app).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::reg {

// A real override file is a few hundred bytes; a larger one is left alone, unread.
inline constexpr std::size_t kMaxOverrideSize = 1u << 20;

// True when Flatpak grants `entry` by this file: the "filesystems" list of its [Context] group, as GLib
// reads it, holds it. False for a text that GLib refuses (Flatpak refuses it too). karvo-doctor judges
// the grant with this.
bool override_grants(std::string_view text, std::string_view entry);

// What adding the entry took: nothing (it was granted already), the entry in the list that Flatpak
// reads, a "filesystems" line in the [Context] group, or the group itself at the end of the file.
enum class OverrideAddition { none, entry, line, group };

struct OverrideEdit {
  std::string text;                    // the file's new text; the same text when nothing changes
  OverrideAddition added = OverrideAddition::none;
  std::optional<std::string> problem;  // set when the text cannot be edited (GLib refuses it): leave it
};

// The text with `entry` added where Flatpak reads it; every other byte stays.
OverrideEdit override_with(std::string_view text, std::string_view entry);

// The text with what override_with added (`added`) taken away again: byte for byte the text it had
// then, when nobody changed that part since; else only the entry goes.
OverrideEdit override_without(std::string_view text, std::string_view entry, OverrideAddition added);

// "entry", "line", "group" ("" for none), and back, for the install record.
std::string_view addition_name(OverrideAddition added);
OverrideAddition addition_from_name(std::string_view name);

}  // namespace karvo::reg
