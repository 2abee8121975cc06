// Values as the extension's log writes them: one entry is always one line.
#pragma once

#include <string>
#include <string_view>

namespace karvo::safari {

// `text` with its control characters written escaped: LF, CR and TAB as \n, \r and \t, every other
// control character (U+0000 to U+001F, U+007F) as \x and two lower-case hex digits. Everything else,
// backslashes and non-ASCII text included, is kept as it is.
std::string escapeControls(std::string_view text);

}  // namespace karvo::safari
