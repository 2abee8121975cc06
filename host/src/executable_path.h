// The path of the running executable, as the platform reports it (symbolic links in the directories
// above it are not resolved further).
#pragma once

#include <optional>
#include <string>

namespace karvo {

// Nothing when the platform cannot tell.
std::optional<std::string> executable_path();

}  // namespace karvo
