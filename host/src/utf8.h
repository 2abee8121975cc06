// UTF-8 checks and the Unicode White_Space trim applied to the application's lines.
#pragma once

#include <string>
#include <string_view>

namespace karvo {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// The range of valid UTF-8 `text` without the Unicode White_Space characters at either end.
std::string_view trim_unicode_space(std::string_view text) noexcept;

}  // namespace karvo
