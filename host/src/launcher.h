// Starting the desktop application when the browser asks for it, coordinated between hosts through
// the launch lock in the data directory.
#pragma once

#include <optional>

#include "app_link.h"

namespace karvo {

// Takes the launch lock or waits for the host that holds it, starts the application (launcher only) and
// waits up to 20 s for it. On nothing it has logged "Karvo is not running and could not be started".
std::optional<AppLink> launch_app();

}  // namespace karvo
