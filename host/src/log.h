// The host's diagnostics: one line per event on standard error, "karvo-host: " + text + LF.
#pragma once

#include <string_view>

namespace karvo {

// Writes the whole line with one write; a failure to write it is ignored. Control characters in `text`
// (which may carry a path from the endpoint file) are written escaped, as \n, \r, \t or \xhh, so that
// one event is always one line and no value can forge another.
void log_line(std::string_view text) noexcept;

}  // namespace karvo
