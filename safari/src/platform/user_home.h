// The user's home directory as the user database and the platform report it.
#pragma once

#include <optional>
#include <string>

namespace karvo::safari::platform {

// The home directory of the user database entry of the process's real user, when the entry exists and
// its home directory field is set.
std::optional<std::string> userDatabaseHome();

// The platform's home directory for the process (inside the app sandbox: the container's directory).
std::string processHomeDirectory();

}  // namespace karvo::safari::platform
