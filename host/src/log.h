// The host's diagnostics: one line per event on standard error, "karvo-host: " + text + LF.
#pragma once

#include <string_view>

namespace karvo {

// Writes the whole line with one write; a failure to write it is ignored.
void log_line(std::string_view text) noexcept;

}  // namespace karvo
