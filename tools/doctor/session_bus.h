// What the user's session bus says about a well-known name. The D-Bus client is GLib's GDBus on
// Linux (session_bus_glib.cpp); macOS has no session bus to ask (session_bus_apple.cpp).
#pragma once

#include <string>
#include <string_view>

namespace karvo::doctor {

struct BusName {
  bool asked = false;        // false: no session bus could be asked, and `why` says why
  bool has_owner = false;    // NameHasOwner: a program holds the name now
  bool activatable = false;  // ListActivatableNames: the bus starts a program for it on the first call
  std::string why;
};

// Asks the bus at $DBUS_SESSION_BUS_ADDRESS, else at $XDG_RUNTIME_DIR/bus, within a few seconds. Never
// starts a bus of its own.
BusName ask_session_bus(std::string_view name);

}  // namespace karvo::doctor
